#include "data/compressed_walk.h"

#include <cmath>

#include "data/bitmap.h"
#include "data/element_reader.h"
#include "data/operators.h"
#include "descriptor/fxy.h"

namespace norvane {
namespace {

constexpr double kFactorTolerance = 2.220446049250313e-16;

// Registers one more column of N values, within the record budget.
Result<Column*> append_column(const CompressedWalk& walk, std::uint32_t code, std::string_view name) {
    ColumnList& list = walk.columns;
    NV_TRY(walk.budget.check_records(list.records() + list.subsets));
    Column& column = list.columns.emplace_back();
    column.descriptor = code;
    column.name = name;
    return &column;
}

Status append_operator_column(std::uint32_t code, const CompressedWalk& walk) {
    NV_ASSIGN(Column* column, append_column(walk, code, kOperatorName));
    column->constant = true;
    column->first = walk.columns.constant_cells.size();
    walk.columns.constant_cells.push_back({0, 0, false});  // raw 0, raw_value 0.0, no meaning
    return {};
}

// A character column: `width` bits of common text, a 6-bit octet count W, then W octets
// per subset unless W is 0. CCITT IA5 elements and 2 05 YYY text alike.
Status read_text_column(std::uint32_t code, std::string_view name, std::uint16_t width, ValueCodingState& state,
                        const CompressedWalk& walk) {
    BitReader& reader = walk.reader;
    NV_ASSIGN(std::string common, reader.read_bytes(width));
    NV_ASSIGN(const std::uint64_t increment_width, reader.read_u64(6));
    const std::uint64_t ordinal = state.text_column_counter++;
    ColumnList& list = walk.columns;
    NV_ASSIGN(Column* column, append_column(walk, code, name));
    column->text = true;
    column->text_base = ordinal * list.subsets;  // numbering runs on across columns, N per column
    column->chars = static_cast<std::uint16_t>(width / 8u);
    column->first = list.text_cells.size();
    if (increment_width == 0) {
        column->constant = true;
        const bool present = decode_ia5_text(common);
        list.text_cells.push_back({std::move(common), present});
        return {};
    }
    // Each subset has its own text of W octets; the reference octets go unused.
    for (std::size_t s = 0; s < list.subsets; ++s) {
        NV_ASSIGN(std::string own, reader.read_bytes(static_cast<std::uint16_t>(increment_width * 8)));
        const bool present = decode_ia5_text(own);
        list.text_cells.push_back({std::move(own), present});
    }
    return {};
}

// Subset 1's factor when every subset carries the same one, else the varying-factors error.
Result<std::uint64_t> common_factor(const ColumnList& list, const Column& column) {
    double first = 0.0;
    if (list.subsets == 0 || !list.value_at(column, 0, first)) return std::uint64_t{0};
    for (std::size_t s = 1; s < list.subsets; ++s) {
        double value = 0.0;
        if (!list.value_at(column, s, value) || !(std::fabs(value - first) <= kFactorTolerance)) [[unlikely]]
            return std::unexpected(
                parse_error("compressed delayed replication with varying factors is not implemented"));
    }
    return saturating_u64(first);
}

// The bitmap entry of a 031031 column. One bitmap serves all subsets, so a column whose
// subsets differ (a value, or whether it is missing) would select different elements in
// each: that is refused rather than decoded with subset 1's bitmap.
Result<std::uint8_t> common_bitmap_entry(const ColumnList& list, const Column& column) {
    double first = 0.0;
    const bool present = list.subsets > 0 && list.value_at(column, 0, first);
    if (!column.constant) {
        for (std::size_t s = 1; s < list.subsets; ++s) {
            double value = 0.0;
            if (list.value_at(column, s, value) != present || (present && value != first)) [[unlikely]]
                return std::unexpected(
                    parse_error("compressed data present bitmap varying between subsets is not implemented"));
        }
    }
    return present ? bitmap_entry(first) : std::uint8_t{0};
}

Status run_operator(std::uint32_t code, const CompressedWalk& walk, ValueCodingState& state) {
    const Descriptor descriptor = Descriptor::from_code(code);
    switch (classify_operator(descriptor.x, descriptor.y)) {
        case OperatorAction::Apply:
            // Decoders disagree on how compressed data carries new reference values (with or
            // without a 6-bit increment width after each), so they are refused.
            if (descriptor.x == 3 && descriptor.y != 0 && descriptor.y != 255) [[unlikely]]
                return std::unexpected(
                    parse_error("change of reference values (203YYY) in compressed data is not implemented"));
            break;
        case OperatorAction::CharacterData:
            return read_text_column(code, kCharacterDataName, static_cast<std::uint16_t>(8u * descriptor.y), state,
                                    walk);
        case OperatorAction::Marker:
            NV_TRY(append_operator_column(code, walk));
            apply_bitmap_control(descriptor.x, descriptor.y, state);
            break;
        case OperatorAction::BitmapReference: {
            NV_ASSIGN(const ElementDefinition* element, next_bitmap_element(state));
            if (element == nullptr) return {};
            if (descriptor.x == 25) {
                return read_compressed_element_column(*element, difference_reference(*element),
                                                      difference_width(*element), state, walk);
            }
            return read_compressed_element_column(*element, element->reference, element->width, state, walk);
        }
    }
    apply_operator(descriptor, state);
    return {};
}

}  // namespace

Status read_compressed_numeric_column(std::uint32_t code, std::string_view name, std::uint16_t width,
                                      std::int64_t reference, std::int32_t scale, bool missing_allowed,
                                      const TableSet* meanings, const CompressedWalk& walk) {
    BitReader& reader = walk.reader;
    NV_ASSIGN(const std::uint64_t local_reference, reader.read_u64(width));
    NV_ASSIGN(const std::uint64_t increment_bits, reader.read_u64(6));
    const auto increment_width = static_cast<unsigned>(increment_bits);
    const bool all_missing = missing_allowed && width <= 63 && local_reference == all_ones(width);
    ColumnList& list = walk.columns;
    NV_ASSIGN(Column* column, append_column(walk, code, name));
    column->reference = reference;
    column->scale = scale;

    // A missing value records the all-ones pattern of the element's width as its raw, as
    // the uncompressed layout does, so the same data decodes to the same records (and
    // meanings) whichever way it was packed; R0 + I would be an arbitrary number here.
    const auto cell_of = [&](bool missing, std::uint64_t raw) {
        NumericCell cell{missing ? all_ones(width) : raw, 0, missing};
        if (meanings != nullptr) {
            if (const std::string* meaning = meanings->code_meaning(code, cell.raw)) {
                if (meaning != list.meanings.back()) list.meanings.push_back(meaning);
                cell.meaning = static_cast<std::uint32_t>(list.meanings.size() - 1);
            }
        }
        return cell;
    };

    if (increment_width == 0) {
        column->constant = true;
        column->first = list.constant_cells.size();
        list.constant_cells.push_back(cell_of(all_missing, local_reference));
        return {};
    }
    column->first = list.varying_cells.add_column();
    const std::uint64_t increment_ones = all_ones(increment_width);
    const std::size_t n = list.subsets;
    // Either the whole block lies in the data, or the reads check one by one to fail at
    // the exact bit.
    const bool in_bounds = static_cast<std::uint64_t>(n) * increment_width <= reader.bits_remaining();
    for (std::size_t s = 0; s < n; ++s) {
        std::uint64_t increment = 0;
        if (in_bounds) [[likely]] {
            increment = reader.read_unchecked(increment_width);
        } else {
            NV_ASSIGN(increment, reader.read_u64(static_cast<std::uint16_t>(increment_width)));
        }
        list.varying_cells.at(column->first, s) =
            cell_of(all_missing || (missing_allowed && increment == increment_ones), local_reference + increment);
    }
    return {};
}

Status read_compressed_element_column(const ElementDefinition& element, std::int64_t table_reference,
                                      std::uint16_t table_width, ValueCodingState& state,
                                      const CompressedWalk& walk) {
    if (is_text_element(element)) [[unlikely]]
        return read_text_column(element.code, element.name, state.text_width_override.value_or(table_width), state,
                                walk);
    return read_compressed_numeric_column(element.code, element.name, numeric_width(table_width, state),
                                          numeric_reference(table_reference, state),
                                          numeric_scale(element.scale, state), !is_class31(element.code),
                                          &walk.tables, walk);
}

Status decode_compressed_descriptors_inner(std::span<const std::uint32_t> descriptors,
                                           const CompressedWalk& walk, ValueCodingState& state,
                                           unsigned depth) {
    if (depth > kMaxWalkDepth) [[unlikely]]
        return std::unexpected(parse_error("compressed descriptor decode exceeded recursion depth"));
    ColumnList& list = walk.columns;
    const std::size_t count = descriptors.size();
    std::size_t i = 0;
    while (i < count) {
        NV_TRY(walk.budget.take_step(list.records()));
        const std::uint32_t code = descriptors[i];
        switch (fxy_f(code)) {
            case 0: {
                if (state.associated_field_width != 0 && !is_class31(code)) [[unlikely]] {
                    NV_TRY(read_compressed_numeric_column(kAssociatedFieldCode, kAssociatedFieldName,
                                                          state.associated_field_width, 0, 0, false, nullptr,
                                                          walk));
                }
                const ElementDefinition* element = walk.tables.element(code);
                if (element == nullptr) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::ElementNotFound, code));
                NV_TRY(read_compressed_element_column(*element, element->reference, element->width, state, walk));
                if (code == kBitmapIndicatorCode && takes_bitmap_entry(state)) {
                    NV_ASSIGN(const std::uint8_t entry, common_bitmap_entry(list, list.columns.back()));
                    state.bitmap.push_back(entry);
                } else {
                    state.history.push_back(element);
                }
                state.width_override.reset();  // a 2 06 YYY width serves one element
                ++i;
                break;
            }
            case 1: {
                const std::uint32_t x = fxy_x(code);
                const std::uint32_t y = fxy_y8(code);
                if (x == 0 || i + x >= count) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::UnsupportedReplication, code));
                if (y != 0) {
                    const auto group = descriptors.subspan(i + 1, x);
                    for (std::uint32_t pass = 0; pass < y; ++pass)
                        NV_TRY(decode_compressed_descriptors_inner(group, walk, state, depth + 1));
                    i += x + 1;
                    break;
                }
                if (i + x + 1 >= count) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::MissingReplicationFactor, code));
                // The factor column has no associated field, is never a bitmap entry and
                // leaves a 2 06 YYY width in force.
                const std::uint32_t factor_code = descriptors[i + 1];
                const ElementDefinition* factor = walk.tables.element(factor_code);
                if (factor == nullptr) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::ElementNotFound, factor_code));
                NV_TRY(read_compressed_element_column(*factor, factor->reference, factor->width, state, walk));
                NV_ASSIGN(const std::uint64_t passes, common_factor(list, list.columns.back()));
                state.history.push_back(factor);
                const auto group = descriptors.subspan(i + 2, x);
                for (std::uint64_t pass = 0; pass < passes; ++pass)
                    NV_TRY(decode_compressed_descriptors_inner(group, walk, state, depth + 1));
                i += x + 2;
                break;
            }
            case 2:
                NV_TRY(run_operator(code, walk, state));
                ++i;
                break;
            case 3: {
                const SequenceDefinition* sequence = walk.tables.sequence(code);
                if (sequence == nullptr) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::SequenceNotFound, code));
                NV_TRY(decode_compressed_descriptors_inner(sequence->members, walk, state, depth + 1));
                ++i;
                break;
            }
            default:
                return std::unexpected(invalid_descriptor(code));
        }
    }
    return {};
}

DecodedValues assemble_subsets(const ColumnList& list) {
    DecodedValues out;
    out.reserve(list.records());  // what was actually decoded, already within the budget
    for_each_record(list, [&out](const DecodedValue& value) {
        out.push_back(value);
        return true;
    });
    return out;
}

}  // namespace norvane
