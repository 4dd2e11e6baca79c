#include "data/uncompressed_walk.h"

#include "data/bitmap.h"
#include "data/element_reader.h"
#include "data/operators.h"
#include "descriptor/fxy.h"

namespace norvane {
namespace {

// An element read outside a bitmap: its associated field first, unless it is in class 31.
// `element` receives the Table B entry.
Status read_plain_element(std::uint32_t code, const SubsetWalk& walk, ValueCodingState& state,
                          const ElementDefinition*& element) {
    if (state.associated_field_width != 0 && !is_class31(code)) [[unlikely]]
        NV_TRY(read_associated_field(walk.reader, state.associated_field_width, walk.out));
    element = walk.tables.element(code);
    if (element == nullptr) [[unlikely]]
        return std::unexpected(make_error(ErrorKind::ElementNotFound, code));
    return read_element(*element, walk.tables, walk.reader, state, walk.out);
}

// Between 2 03 YYY and 2 03 255 an element descriptor sends the element's new reference
// value (YYY bits) instead of a value: nothing is recorded and the history does not grow.
Status define_new_reference(std::uint32_t code, const SubsetWalk& walk, ValueCodingState& state) {
    if (walk.tables.element(code) == nullptr) [[unlikely]]
        return std::unexpected(make_error(ErrorKind::ElementNotFound, code));
    NV_ASSIGN(const std::int64_t reference, read_new_reference(walk.reader, state.new_reference_width, code));
    state.new_references.insert_or_assign(code, reference);
    return {};
}

Status run_operator(std::uint32_t code, const SubsetWalk& walk, ValueCodingState& state) {
    const Descriptor descriptor = Descriptor::from_code(code);
    switch (classify_operator(descriptor.x, descriptor.y)) {
        case OperatorAction::Apply:
            break;
        case OperatorAction::CharacterData:
            return read_character_data(code, descriptor.y, walk.reader, state, walk.out);
        case OperatorAction::Marker:
            walk.out.push_back(operator_marker(code));
            apply_bitmap_control(descriptor.x, descriptor.y, state);
            break;
        case OperatorAction::BitmapReference: {
            NV_ASSIGN(const ElementDefinition* element, next_bitmap_element(state));
            if (element == nullptr) return {};
            if (descriptor.x == 25) {
                return read_element_as(*element, difference_reference(*element), difference_width(*element),
                                       walk.tables, walk.reader, state, walk.out);
            }
            return read_element(*element, walk.tables, walk.reader, state, walk.out);
        }
    }
    apply_operator(descriptor, state);
    return {};
}

}  // namespace

Status decode_descriptor_values_inner(std::span<const std::uint32_t> descriptors, const SubsetWalk& walk,
                                      ValueCodingState& state, unsigned depth) {
    if (depth > kMaxWalkDepth) [[unlikely]]
        return std::unexpected(parse_error("descriptor decode exceeded recursion depth"));
    const std::size_t count = descriptors.size();
    std::size_t i = 0;
    while (i < count) {
        NV_TRY(walk.budget.take_step(walk.out.size()));
        const std::uint32_t code = descriptors[i];
        switch (fxy_f(code)) {
            case 0: {
                if (state.new_reference_width != 0) [[unlikely]] {
                    NV_TRY(define_new_reference(code, walk, state));
                    ++i;
                    break;
                }
                const ElementDefinition* element = nullptr;
                NV_TRY(read_plain_element(code, walk, state, element));
                state.width_override.reset();  // a 2 06 YYY width serves one element
                if (code == kBitmapIndicatorCode && takes_bitmap_entry(state)) {
                    const DecodedValue& indicator = walk.out.back();
                    if (indicator.has_raw_value) state.bitmap.push_back(bitmap_entry(indicator.raw_value));
                } else {
                    state.history.push_back(element);
                }
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
                        NV_TRY(decode_descriptor_values_inner(group, walk, state, depth + 1));
                    i += x + 1;
                    break;
                }
                if (i + x + 1 >= count) [[unlikely]]
                    return std::unexpected(make_error(ErrorKind::MissingReplicationFactor, code));
                // The factor is read like an element, but it leaves a 2 06 YYY width in force
                // and is never a bitmap entry.
                const ElementDefinition* factor = nullptr;
                NV_TRY(read_plain_element(descriptors[i + 1], walk, state, factor));
                state.history.push_back(factor);
                double factor_value = 0.0;
                const std::uint64_t passes =
                    numeric_value_of(walk.out.back(), factor_value) ? saturating_u64(factor_value) : 0;
                const auto group = descriptors.subspan(i + 2, x);
                for (std::uint64_t pass = 0; pass < passes; ++pass)
                    NV_TRY(decode_descriptor_values_inner(group, walk, state, depth + 1));
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
                NV_TRY(decode_descriptor_values_inner(sequence->members, walk, state, depth + 1));
                ++i;
                break;
            }
            default:
                return std::unexpected(invalid_descriptor(code));
        }
    }
    return {};
}

}  // namespace norvane
