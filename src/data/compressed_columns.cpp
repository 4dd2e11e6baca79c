#include "data/compressed_columns.h"

#include <cmath>

#include "data/bitmap.h"

namespace norvane {
namespace {

constexpr double kFactorTolerance = 2.220446049250313e-16;

}  // namespace

Column& CompressedColumns::append_column(std::uint32_t code, std::string_view name) {
    Column& column = list_.columns.emplace_back();
    column.descriptor = code;
    column.name = name;
    return column;
}

Status CompressedColumns::numeric(const NumericField& field) {
    NV_ASSIGN(NumericBlock block, NumericBlock::read(reader_, field));
    Column& column = append_column(field.code, field.name);
    column.element = field.element;
    column.code_table = field.element != nullptr ? tables_.code_table(field.code) : nullptr;
    column.reference = field.reference;
    column.scale = field.scale;
    if (block.constant()) {
        column.constant = true;
        column.first = list_.constant_cells.size();
        list_.constant_cells.push_back(block.common());
        return {};
    }
    NV_TRY(block.skip_increments(reader_, list_.subsets));
    column.first = list_.blocks.size();
    list_.blocks.push_back(block);
    return {};
}

Status CompressedColumns::text(const TextField& field) {
    NV_ASSIGN(const TextBlock block, TextBlock::read(reader_, list_.texts, field.width));
    Column& column = append_column(field.code, field.name);
    column.element = field.element;
    column.text = true;
    column.text_base = text_columns_++ * list_.subsets;
    column.chars = static_cast<std::uint16_t>(field.width / 8u);
    column.first = list_.text_cells.size();
    if (block.constant()) {
        column.constant = true;
        list_.text_cells.push_back(block.common());
        return {};
    }
    return block.read_texts(reader_, list_.texts, list_.subsets,
                            [&](std::size_t, TextRef text) { list_.text_cells.push_back(text); });
}

Status CompressedColumns::marker(std::uint32_t code) {
    Column& column = append_column(code, kOperatorName);
    column.constant = true;
    column.first = list_.constant_cells.size();
    list_.constant_cells.push_back({0, false});  // raw 0, raw_value 0.0, no meaning
    return {};
}

Result<std::uint64_t> CompressedColumns::replication_factor() const {
    const Column& column = list_.columns.back();
    if (column.text || list_.subsets == 0) return 0;
    const BlockValue first_cell = list_.numeric(column, 0);
    if (first_cell.missing) return 0;
    const double first = scaled_value(first_cell.raw, column.reference, column.scale);
    if (!column.constant) {
        for (std::size_t s = 1; s < list_.subsets; ++s) {
            const BlockValue cell = list_.numeric(column, s);
            if (cell.missing ||
                !(std::fabs(scaled_value(cell.raw, column.reference, column.scale) - first) <= kFactorTolerance))
                [[unlikely]]
                return std::unexpected(
                    parse_error("compressed delayed replication with varying factors is not implemented"));
        }
    }
    return saturating_u64(first);
}

Result<std::uint8_t> CompressedColumns::bitmap_entry() const {
    const Column& column = list_.columns.back();
    if (column.text || list_.subsets == 0) return 0;
    const auto value_of = [&](const BlockValue& cell) { return scaled_value(cell.raw, column.reference, column.scale); };
    const BlockValue first_cell = list_.numeric(column, 0);
    const double first = first_cell.missing ? 0.0 : value_of(first_cell);
    if (!column.constant) {
        for (std::size_t s = 1; s < list_.subsets; ++s) {
            const BlockValue cell = list_.numeric(column, s);
            if (cell.missing != first_cell.missing || (!cell.missing && value_of(cell) != first)) [[unlikely]]
                return std::unexpected(
                    parse_error("compressed data present bitmap varying between subsets is not implemented"));
        }
    }
    return first_cell.missing ? std::uint8_t{0} : norvane::bitmap_entry(first);
}

}  // namespace norvane
