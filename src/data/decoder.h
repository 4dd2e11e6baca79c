// The data section decoder's entry points.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "data/compressed_walk.h"
#include "data/decoded_value.h"
#include "error/bufr_error.h"
#include "message/message.h"
#include "tables/table_set.h"

namespace norvane {

// The records of one decoded message in the layout the walk produced: a flat list for an
// uncompressed message, columns for a compressed one. Visiting yields the same records in
// the same order either way, without first copying the columns into a flat list.
class DecodedMessage {
public:
    explicit DecodedMessage(DecodedValues values) : values_(std::move(values)) {}
    explicit DecodedMessage(ColumnList columns) : columns_(std::move(columns)) {}

    std::size_t size() const { return columns_ ? columns_->records() : values_.size(); }

    // Calls visit(const DecodedValue&) for every record in subset order; stops early,
    // returning false, when `visit` returns false.
    template <class Visit>
    bool for_each(Visit&& visit) const {
        if (columns_) return for_each_record(*columns_, visit);
        for (const DecodedValue& value : values_) {
            if (!visit(value)) return false;
        }
        return true;
    }

    DecodedValues take_values() && { return columns_ ? assemble_subsets(*columns_) : std::move(values_); }

private:
    DecodedValues values_;
    std::optional<ColumnList> columns_;
};

// Decodes the section 4 data of `message` (`section4`: its section4_data_length octets):
// all values of subset 1, then those of subset 2, and so on. Serves both layouts. The
// records point into `tables`, which must outlive them. The first error ends the decode;
// nothing partial is returned. Work is bounded by the size of `section4`
// (data/decode_budget.h).
Result<DecodedMessage> decode_message(const BufrMessage& message, const TableSet& tables,
                                      std::span<const std::uint8_t> section4);

// As decode_message, as one flat list of records.
Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 std::span<const std::uint8_t> section4);

}  // namespace norvane
