#include "data/decoder.h"

#include <algorithm>

#include "bitstream/bit_reader.h"
#include "data/decode_budget.h"
#include "data/descriptor_walk.h"

namespace norvane {
namespace {

constexpr std::size_t kInitialRecords = 1 << 16;

}  // namespace

Result<DecodedMessage> decode_message(const BufrMessage& message, const TableSet& tables,
                                      std::span<const std::uint8_t> section4) {
    BitReader reader(section4);
    DecodeBudget budget(reader);
    const std::span<const std::uint32_t> descriptors = message.unexpanded_descriptors;

    if (message.compressed_data) {
        ColumnList columns(tables, message.number_of_subsets, section4);
        CompressedColumns sink(tables, reader, columns);
        DescriptorWalk walk(tables, reader, budget, sink);
        NV_TRY(walk.run(descriptors));
        NV_TRY(budget.check_values(columns.size()));
        return DecodedMessage(std::move(columns));
    }

    // One record per octet of section 4 (capped) holds a typical uncompressed message in
    // the first block; a short section cannot ask for more than that.
    RecordList records(tables, std::min<std::size_t>(section4.size(), kInitialRecords) + 16);
    // Each subset walks from the initial coding state; the text numbering runs on through
    // the message (it lives in the sink). Bits left after the last subset are not examined.
    UncompressedRecords sink(reader, records);
    DescriptorWalk walk(tables, reader, budget, sink);
    records.subset_ends.reserve(message.number_of_subsets);
    for (std::uint32_t subset = 0; subset < message.number_of_subsets; ++subset) {
        NV_TRY(walk.run(descriptors));
        records.subset_ends.push_back(records.size());
    }
    NV_TRY(budget.check_values(records.size()));
    return DecodedMessage(std::move(records));
}

}  // namespace norvane
