#include "data/decoder.h"

#include <algorithm>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/compressed_walk.h"
#include "data/decode_budget.h"
#include "data/uncompressed_walk.h"

namespace norvane {
namespace {

constexpr std::size_t kInitialRecords = 1 << 16;

}  // namespace

Result<DecodedMessage> decode_message(const BufrMessage& message, const TableSet& tables,
                                      std::span<const std::uint8_t> section4) {
    BitReader reader(section4);
    DecodeBudget budget(reader.bits_available());
    const std::span<const std::uint32_t> descriptors = message.unexpanded_descriptors;

    if (message.compressed_data) {
        ValueCodingState state;
        ColumnList columns(message.number_of_subsets);
        const CompressedWalk walk{tables, reader, columns, budget};
        NV_TRY(decode_compressed_descriptors_inner(descriptors, walk, state, 0));
        return DecodedMessage(std::move(columns));
    }

    // One record per octet of section 4 (capped) holds a typical uncompressed message in
    // the first allocation; a short section cannot ask for more than that.
    DecodedValues out;
    out.reserve(std::min<std::size_t>(section4.size(), kInitialRecords) + 16);
    // One state per subset, made fresh except for the text counter, which numbers the
    // texts of the whole message. Bits left after the last subset are not examined.
    ValueCodingState state;
    const SubsetWalk walk{tables, reader, out, budget};
    for (std::uint32_t subset = 0; subset < message.number_of_subsets; ++subset) {
        if (subset > 0) state.begin_next_subset();
        NV_TRY(decode_descriptor_values_inner(descriptors, walk, state, 0));
    }
    NV_TRY(budget.check_records(out.size()));
    return DecodedMessage(std::move(out));
}

Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 std::span<const std::uint8_t> section4) {
    NV_ASSIGN(DecodedMessage decoded, decode_message(message, tables, section4));
    return std::move(decoded).take_values();
}

}  // namespace norvane
