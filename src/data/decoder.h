// The data section decoder's entry point.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "data/compressed_columns.h"
#include "data/decoded_value.h"
#include "data/uncompressed_records.h"
#include "error/bufr_error.h"
#include "message/message.h"
#include "tables/table_set.h"

namespace norvane {

// The records of one decoded message in the layout the walk produced: a flat list for an
// uncompressed message, columns for a compressed one. Visiting yields the same records in
// the same order either way.
class DecodedMessage {
public:
    explicit DecodedMessage(RecordList records) : layout_(std::move(records)) {}
    explicit DecodedMessage(ColumnList columns) : layout_(std::move(columns)) {}

    std::size_t size() const {
        return std::visit([](const auto& layout) { return static_cast<std::size_t>(layout.size()); }, layout_);
    }

    // Calls visit(const DecodedValue&) for every record in subset order; stops early,
    // returning false, when `visit` returns false. A record is valid during its call only;
    // the strings it points to live as long as this message (and the TableSet).
    template <class Visit>
    bool for_each(Visit&& visit) const {
        return std::visit([&](const auto& layout) { return layout.for_each(visit); }, layout_);
    }

    // The layout itself, for readers that take the records without visiting them one by one.
    const RecordList* records() const { return std::get_if<RecordList>(&layout_); }
    const ColumnList* columns() const { return std::get_if<ColumnList>(&layout_); }

private:
    std::variant<RecordList, ColumnList> layout_;
};

// Decodes the section 4 data of `message` (`section4`: its section4_data_length octets):
// all values of subset 1, then those of subset 2, and so on. Serves both layouts. The
// records point into `tables` and, for a compressed message, read its values from
// `section4`: both must outlive the decoded message. The first error ends the decode;
// nothing partial is returned. Work is bounded by the bits read (data/decode_budget.h).
Result<DecodedMessage> decode_message(const BufrMessage& message, const TableSet& tables,
                                      std::span<const std::uint8_t> section4);

}  // namespace norvane
