// The compressed layout: every descriptor that carries data has one block in section 4
// holding the values of all N subsets, so the walk's sink reads one column of N values per
// descriptor occurrence, once for the whole message. Visiting reorders the columns into
// subset order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitstream/bit_reader.h"
#include "data/compressed_blocks.h"
#include "data/decoded_value.h"
#include "data/element_reader.h"
#include "data/text_arena.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// A column of N values. A block whose increment width is 0 gives every subset the same
// value, so its column keeps a single cell: most columns of satellite products are like
// that, and they then cost nothing per subset. The other numeric columns keep their block,
// whose increments are read from section 4 where they lie when a value is asked for: the
// walk passes over them, and a visit in subset order reads them without a copy in between.
struct Column {
    std::string_view name;        // into the TableSet, or a constant name
    const ElementDefinition* element = nullptr;  // none for markers, associated fields, 2 05 YYY
    const CodeTable* code_table = nullptr;       // numeric elements with a code or flag table
    std::int64_t reference = 0;   // numeric columns: value = (raw + reference) / 10^scale
    std::uint64_t text_base = 0;  // character columns: text reference numbers follow k x N
    std::size_t first = 0;        // its cell or block: in constant_cells, blocks or text_cells
    std::int32_t scale = 0;
    std::uint32_t descriptor = 0;
    std::uint16_t chars = 0;      // character columns: field width in whole octets
    bool text = false;
    bool constant = false;        // one cell stands for every subset
};

struct ColumnList {
    // `tables` and `section4` must outlive the list: the varying columns' values are read
    // from section 4.
    ColumnList(const TableSet& tables, std::uint16_t n, std::span<const std::uint8_t> section4)
        : tables(&tables), subsets(n), bits(section4) {}

    const TableSet* tables;
    std::uint16_t subsets;  // N
    std::vector<Column> columns;
    std::vector<BlockValue> constant_cells;
    std::vector<NumericBlock> blocks;  // of the varying numeric columns
    BitReader bits;                    // section 4, for reading their increments
    std::vector<TextRef> text_cells;   // column by column, one cell or N
    TextArena texts;

    std::uint64_t size() const { return static_cast<std::uint64_t>(columns.size()) * subsets; }
    BlockValue numeric(const Column& column, std::size_t subset) const {
        return column.constant ? constant_cells[column.first] : blocks[column.first].at(bits, subset);
    }
    static const std::string* meaning(const Column& column, std::uint64_t raw) {
        return column.code_table != nullptr ? column.code_table->find(raw) : nullptr;
    }

    // Calls visit(const DecodedValue&) for each record in subset order: subset 1's values
    // in column order, then subset 2's, and so on. The record is only valid during the
    // call. Stops early, returning false, when `visit` returns false.
    template <class Visit>
    bool for_each(Visit&& visit) const {
        DecodedValue value;
        for (std::size_t s = 0; s < subsets; ++s) {
            for (const Column& column : columns) {
                value.descriptor = column.descriptor;
                value.name = column.name;
                if (column.text) {
                    const TextRef text = text_cells[column.first + (column.constant ? 0 : s)];
                    value.has_raw_value = true;
                    value.raw_value = static_cast<double>((column.text_base + s + 1) * 1000 + column.chars);
                    value.has_raw = false;
                    value.raw = 0;
                    value.raw_meaning = nullptr;
                    value.has_raw_text = text.present;
                    value.raw_text = text.present ? texts.view(text) : std::string_view();
                } else {
                    const BlockValue cell = numeric(column, s);
                    value.has_raw_value = !cell.missing;
                    value.raw_value = cell.missing ? 0.0 : scaled_value(cell.raw, column.reference, column.scale);
                    value.has_raw = true;
                    value.raw = cell.raw;
                    value.raw_meaning = meaning(column, cell.raw);
                    value.has_raw_text = false;
                    value.raw_text = std::string_view();
                }
                if (!visit(static_cast<const DecodedValue&>(value))) return false;
            }
        }
        return true;
    }
};

// The walk's sink for compressed data (see data/descriptor_walk.h). One replication count
// and one bitmap serve all subsets, so a factor or a 031031 column must be the same in
// every subset.
class CompressedColumns {
public:
    static constexpr bool kNewReferences = false;  // refused: decoders disagree on their layout
    static constexpr std::string_view kDepthExceeded = "compressed descriptor decode exceeded recursion depth";

    CompressedColumns(const TableSet& tables, BitReader& reader, ColumnList& list)
        : tables_(tables), reader_(reader), list_(list) {}

    // One numeric block (data/compressed_blocks.h) as a column.
    Status numeric(const NumericField& field);
    // One character block as a column; text reference numbers run on across columns, N per
    // column.
    Status text(const TextField& field);
    Status marker(std::uint32_t code);

    // Subset 1's value of the column just read as a replication count (0 when it is
    // missing or a text); the others must equal it.
    Result<std::uint64_t> replication_factor() const;
    // The column just read as a bitmap entry (0, present, when missing or a text); every
    // subset must agree.
    Result<std::uint8_t> bitmap_entry() const;

    std::uint64_t values() const { return list_.size(); }

private:
    Column& append_column(std::uint32_t code, std::string_view name);

    const TableSet& tables_;
    BitReader& reader_;
    ColumnList& list_;
    std::uint64_t text_columns_ = 0;
};

}  // namespace norvane
