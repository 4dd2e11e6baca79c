// The walk of a compressed message: every descriptor that carries data has one block in
// section 4 holding the values of all N subsets, so the walk reads one column per
// descriptor occurrence, once for the whole message, and the columns are then reordered
// into subset order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/decode_budget.h"
#include "data/decoded_value.h"
#include "data/element_reader.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// One subset's value in a numeric column (elements, associated fields, operator markers).
// The scaled value is not stored: it follows from raw and the column's reference and
// scale, and 16-byte cells keep a large message's columns small.
struct NumericCell {
    std::uint64_t raw;
    std::uint32_t meaning;  // index into ColumnList::meanings; 0 for none
    bool missing;
};

// One subset's text in a character column.
struct TextCell {
    std::string text;
    bool present = false;
};

// A column of N values. A block whose increment width is 0 gives every subset the same
// value, so its column keeps a single cell: most columns of satellite products are like
// that, and they then cost nothing per subset until the records are assembled.
struct Column {
    std::string_view name;        // into the TableSet, or a constant name
    std::int64_t reference = 0;   // numeric columns: value = (raw + reference) / 10^scale
    std::uint64_t text_base = 0;  // character columns: text reference numbers follow k x N
    std::size_t first = 0;        // its cell: in constant_cells, varying_cells or text_cells
    std::int32_t scale = 0;
    std::uint32_t descriptor = 0;
    std::uint16_t chars = 0;      // character columns: field width in whole octets
    bool text = false;
    bool constant = false;        // one cell stands for every subset
};

// The cells of the numeric columns whose values vary between subsets. They are laid out
// in blocks of a few columns, each block subset by subset: a column's N cells lie a block
// width apart and the records, assembled subset by subset, read consecutive cells (column
// after column, every cell was a cache miss). Blocks are allocated separately, so growing
// never copies cells; a block holds at most max(N, 8192) cells.
class VaryingCells {
public:
    explicit VaryingCells(std::size_t subsets)
        : subsets_(subsets), columns_per_block_(std::clamp<std::size_t>(8192 / (subsets + 1), 1, 32)) {}

    // Room for one more column; returns its index. Its cells are written by the caller.
    std::size_t add_column() {
        if (columns_ % columns_per_block_ == 0)
            blocks_.push_back(std::make_unique_for_overwrite<NumericCell[]>(columns_per_block_ * subsets_));
        return columns_++;
    }
    NumericCell& at(std::size_t column, std::size_t subset) const {
        return blocks_[column / columns_per_block_][subset * columns_per_block_ + column % columns_per_block_];
    }

private:
    std::vector<std::unique_ptr<NumericCell[]>> blocks_;
    std::size_t subsets_;
    std::size_t columns_per_block_;
    std::size_t columns_ = 0;
};

struct ColumnList {
    explicit ColumnList(std::uint16_t n) : subsets(n), varying_cells(n) {}

    std::uint16_t subsets;  // N
    std::vector<Column> columns;
    std::vector<NumericCell> constant_cells;
    VaryingCells varying_cells;
    std::vector<TextCell> text_cells;                   // column by column, one cell or N
    std::vector<const std::string*> meanings{nullptr};  // into the TableSet; [0] is none

    std::uint64_t records() const { return static_cast<std::uint64_t>(columns.size()) * subsets; }
    const NumericCell& numeric(const Column& column, std::size_t subset) const {
        return column.constant ? constant_cells[column.first] : varying_cells.at(column.first, subset);
    }
    // Subset `subset`'s raw_value in `column`, false when it is missing.
    bool value_at(const Column& column, std::size_t subset, double& value) const {
        if (column.text) {
            value = static_cast<double>((column.text_base + subset + 1) * 1000 + column.chars);
            return true;
        }
        const NumericCell& cell = numeric(column, subset);
        if (cell.missing) return false;
        value = scaled_value(cell.raw, column.reference, column.scale);
        return true;
    }
};

// What every level of the walk shares; one coding state serves the whole message.
struct CompressedWalk {
    const TableSet& tables;
    BitReader& reader;
    ColumnList& columns;
    DecodeBudget& budget;
};

// One numeric block: local reference R0 (`width` bits), increment width W (6 bits), then
// N increments of W bits unless W is 0. Appends a column. `meanings`, when given, supplies
// code-table meanings of the raw values under `code`.
Status read_compressed_numeric_column(std::uint32_t code, std::string_view name, std::uint16_t width,
                                      std::int64_t reference, std::int32_t scale, bool missing_allowed,
                                      const TableSet* meanings, const CompressedWalk& walk);

// The block of one Table B element (text or numeric) with the operators of `state`;
// `table_reference` and `table_width` stand in for the Table B values (2 25 255).
Status read_compressed_element_column(const ElementDefinition& element, std::int64_t table_reference,
                                      std::uint16_t table_width, ValueCodingState& state,
                                      const CompressedWalk& walk);

// Walks `descriptors` at nesting `depth` (0 for the section 3 list), appending columns.
// Fails with "compressed descriptor decode exceeded recursion depth" below kMaxWalkDepth.
Status decode_compressed_descriptors_inner(std::span<const std::uint32_t> descriptors,
                                           const CompressedWalk& walk, ValueCodingState& state,
                                           unsigned depth);

// Calls visit(const DecodedValue&) for each record in subset order: subset 1's values in
// column order, then subset 2's, and so on. The record is only valid during the call.
// Stops early, returning false, when `visit` returns false.
template <class Visit>
bool for_each_record(const ColumnList& list, Visit&& visit) {
    DecodedValue value;
    for (std::size_t s = 0; s < list.subsets; ++s) {
        for (const Column& column : list.columns) {
            value.descriptor = column.descriptor;
            value.name = column.name;
            if (column.text) {
                const TextCell& cell = list.text_cells[column.first + (column.constant ? 0 : s)];
                value.has_raw_value = true;
                value.raw_value = static_cast<double>((column.text_base + s + 1) * 1000 + column.chars);
                value.has_raw = false;
                value.raw = 0;
                value.raw_meaning = nullptr;
                value.has_raw_text = cell.present;
                if (cell.present) value.raw_text.assign(cell.text);
                else value.raw_text.clear();
            } else {
                const NumericCell& cell = list.numeric(column, s);
                value.has_raw_value = !cell.missing;
                value.raw_value = cell.missing ? 0.0 : scaled_value(cell.raw, column.reference, column.scale);
                value.has_raw = true;
                value.raw = cell.raw;
                value.raw_meaning = list.meanings[cell.meaning];
                value.has_raw_text = false;
                value.raw_text.clear();
            }
            if (!visit(static_cast<const DecodedValue&>(value))) return false;
        }
    }
    return true;
}

// The records in subset order, as for_each_record visits them.
DecodedValues assemble_subsets(const ColumnList& columns);

}  // namespace norvane
