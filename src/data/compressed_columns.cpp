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
    NV_ASSIGN(const std::uint64_t local_reference, reader_.read_u64(field.width));
    NV_ASSIGN(const std::uint64_t increment_bits, reader_.read_u64(6));
    const auto increment_width = static_cast<unsigned>(increment_bits);
    const bool all_missing =
        field.missing_allowed && field.width <= 63 && local_reference == all_ones(field.width);
    Column& column = append_column(field.code, field.name);
    column.reference = field.reference;
    column.scale = field.scale;

    // A missing value records the all-ones pattern of the field's width as its raw, as the
    // uncompressed layout does, so the same data decodes to the same records (and meanings)
    // whichever way it was packed; R0 + I would be an arbitrary number here.
    const auto cell_of = [&](bool missing, std::uint64_t raw) {
        NumericCell cell{missing ? all_ones(field.width) : raw, 0, missing};
        if (field.element != nullptr) {
            if (const std::string* meaning = tables_.code_meaning(field.code, cell.raw)) {
                if (meaning != list_.meanings.back()) list_.meanings.push_back(meaning);
                cell.meaning = static_cast<std::uint32_t>(list_.meanings.size() - 1);
            }
        }
        return cell;
    };

    if (increment_width == 0) {
        column.constant = true;
        column.first = list_.constant_cells.size();
        list_.constant_cells.push_back(cell_of(all_missing, local_reference));
        return {};
    }
    column.first = list_.varying_cells.add_column();
    const std::uint64_t increment_ones = all_ones(increment_width);
    const std::size_t n = list_.subsets;
    // Either the whole block lies in the data, or the reads check one by one to fail at
    // the exact bit.
    const bool in_bounds = static_cast<std::uint64_t>(n) * increment_width <= reader_.bits_remaining();
    for (std::size_t s = 0; s < n; ++s) {
        std::uint64_t increment = 0;
        if (in_bounds) [[likely]] {
            increment = reader_.read_unchecked(increment_width);
        } else {
            NV_ASSIGN(increment, reader_.read_u64(static_cast<std::uint16_t>(increment_width)));
        }
        const bool missing = all_missing || (field.missing_allowed && increment == increment_ones);
        list_.varying_cells.at(column.first, s) = cell_of(missing, local_reference + increment);
    }
    return {};
}

Status CompressedColumns::text(const TextField& field) {
    NV_ASSIGN(const TextRef common, list_.texts.read(reader_, field.width));
    NV_ASSIGN(const std::uint64_t increment_width, reader_.read_u64(6));
    const std::uint64_t ordinal = text_columns_++;
    Column& column = append_column(field.code, field.name);
    column.text = true;
    column.text_base = ordinal * list_.subsets;
    column.chars = static_cast<std::uint16_t>(field.width / 8u);
    column.first = list_.text_cells.size();
    if (increment_width == 0) {
        column.constant = true;
        list_.text_cells.push_back(common);
        return {};
    }
    // Each subset has its own text of W octets; the common octets go unused.
    const auto width = static_cast<std::uint16_t>(increment_width * 8);
    for (std::size_t s = 0; s < list_.subsets; ++s) {
        NV_ASSIGN(const TextRef own, list_.texts.read(reader_, width));
        list_.text_cells.push_back(own);
    }
    return {};
}

Status CompressedColumns::marker(std::uint32_t code) {
    Column& column = append_column(code, kOperatorName);
    column.constant = true;
    column.first = list_.constant_cells.size();
    list_.constant_cells.push_back({0, 0, false});  // raw 0, raw_value 0.0, no meaning
    return {};
}

Result<std::uint64_t> CompressedColumns::replication_factor() const {
    const Column& column = list_.columns.back();
    if (column.text || list_.subsets == 0) return 0;
    const NumericCell& first_cell = list_.numeric(column, 0);
    if (first_cell.missing) return 0;
    const double first = scaled_value(first_cell.raw, column.reference, column.scale);
    if (!column.constant) {
        for (std::size_t s = 1; s < list_.subsets; ++s) {
            const NumericCell& cell = list_.numeric(column, s);
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
    const auto value_of = [&](const NumericCell& cell) { return scaled_value(cell.raw, column.reference, column.scale); };
    const NumericCell& first_cell = list_.numeric(column, 0);
    const double first = first_cell.missing ? 0.0 : value_of(first_cell);
    if (!column.constant) {
        for (std::size_t s = 1; s < list_.subsets; ++s) {
            const NumericCell& cell = list_.numeric(column, s);
            if (cell.missing != first_cell.missing || (!cell.missing && value_of(cell) != first)) [[unlikely]]
                return std::unexpected(
                    parse_error("compressed data present bitmap varying between subsets is not implemented"));
        }
    }
    return first_cell.missing ? std::uint8_t{0} : norvane::bitmap_entry(first);
}

}  // namespace norvane
