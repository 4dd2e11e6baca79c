// The descriptor walk, written once for every layout of section 4.
//
// The walk expands the section 3 list on the fly (Table D sequences, fixed and delayed
// replications), keeps the operator state, the element history and the data present
// bitmap, and asks its sink to read each value. The sink decides how a value lies in the
// data and where it goes: one value per descriptor in an uncompressed subset
// (UncompressedRecords), one column of N values per descriptor in a compressed message
// (CompressedColumns). The walk runs once per subset of an uncompressed message and once
// for a whole compressed one.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/decode_budget.h"
#include "data/decoded_value.h"
#include "data/element_reader.h"
#include "data/operators.h"
#include "descriptor/fxy.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// What a sink offers the walk. Each read appends what it read (one record, or one column);
// replication_factor and bitmap_entry interpret the value just read (the layout decides
// whether every subset must agree); values() counts the records held so far.
template <class Sink>
concept WalkSink = requires(Sink& sink, const Sink& held, const NumericField& numeric, const TextField& text) {
    { Sink::kNewReferences } -> std::convertible_to<bool>;  // 2 03 YYY values in the data
    { Sink::kDepthExceeded } -> std::convertible_to<std::string_view>;
    { sink.numeric(numeric) } -> std::same_as<Status>;
    { sink.text(text) } -> std::same_as<Status>;
    { sink.marker(std::uint32_t{}) } -> std::same_as<Status>;
    { held.replication_factor() } -> std::same_as<Result<std::uint64_t>>;
    { held.bitmap_entry() } -> std::same_as<Result<std::uint8_t>>;
    { held.values() } -> std::same_as<std::uint64_t>;
};

template <WalkSink Sink>
class DescriptorWalk {
public:
    DescriptorWalk(const TableSet& tables, BitReader& reader, DecodeBudget& budget, Sink& sink)
        : tables_(tables), reader_(reader), budget_(budget), sink_(sink) {
        state_.history.reserve(kInitialHistory);  // one allocation for a typical subset, not eight
    }

    // Walks the section 3 list from the initial coding state.
    Status run(std::span<const std::uint32_t> descriptors) {
        state_.reset();
        return walk(descriptors, 0);
    }

private:
    static constexpr std::size_t kInitialHistory = 256;

    // `descriptors`: the section 3 list, a sequence's members or a replicated group, at
    // nesting `depth` (0 for the top level); at most kMaxWalkDepth levels below it.
    Status walk(std::span<const std::uint32_t> descriptors, unsigned depth) {
        if (depth > kMaxWalkDepth) [[unlikely]] return std::unexpected(parse_error(std::string(Sink::kDepthExceeded)));
        const std::size_t count = descriptors.size();
        std::size_t i = 0;
        while (i < count) {
            NV_TRY(budget_.take_step(sink_.values()));
            const std::uint32_t code = descriptors[i];
            switch (fxy_f(code)) {
                case 0:
                    NV_TRY(element(code));
                    ++i;
                    break;
                case 1: {
                    const std::uint32_t x = fxy_x(code);
                    const std::uint32_t y = fxy_y8(code);
                    if (x == 0 || i + x >= count) [[unlikely]]
                        return std::unexpected(make_error(ErrorKind::UnsupportedReplication, code));
                    if (y != 0) {
                        const auto group = descriptors.subspan(i + 1, x);
                        for (std::uint32_t pass = 0; pass < y; ++pass) NV_TRY(walk(group, depth + 1));
                        i += x + 1;
                        break;
                    }
                    if (i + x + 1 >= count) [[unlikely]]
                        return std::unexpected(make_error(ErrorKind::MissingReplicationFactor, code));
                    NV_ASSIGN(const std::uint64_t passes, replication_factor(descriptors[i + 1]));
                    const auto group = descriptors.subspan(i + 2, x);
                    for (std::uint64_t pass = 0; pass < passes; ++pass) NV_TRY(walk(group, depth + 1));
                    i += x + 2;
                    break;
                }
                case 2:
                    NV_TRY(run_operator(code));
                    ++i;
                    break;
                case 3: {
                    const SequenceDefinition* sequence = tables_.sequence(code);
                    if (sequence == nullptr) [[unlikely]]
                        return std::unexpected(make_error(ErrorKind::SequenceNotFound, code));
                    NV_TRY(walk(sequence->members, depth + 1));
                    ++i;
                    break;
                }
                default:
                    return std::unexpected(invalid_descriptor(code));
            }
        }
        return {};
    }

    // A plain element: its value, or a bitmap entry, or (during 2 03 YYY) a new reference.
    Status element(std::uint32_t code) {
        if (state_.new_reference_width != 0) [[unlikely]] return define_new_reference(code);
        NV_ASSIGN(const ElementDefinition* definition, read_element(code));
        state_.width_override.reset();  // a 2 06 YYY width serves one element
        if (code == kBitmapIndicatorCode && state_.bitmap.takes_entry()) {
            NV_ASSIGN(const std::uint8_t entry, sink_.bitmap_entry());
            state_.bitmap.add_entry(entry);
        } else {
            state_.history.push_back(definition);
        }
        return {};
    }

    // The factor of a delayed replication is read like an element (associated field
    // included), but it leaves a 2 06 YYY width in force and is never a bitmap entry.
    Result<std::uint64_t> replication_factor(std::uint32_t code) {
        NV_ASSIGN(const ElementDefinition* definition, read_element(code));
        NV_ASSIGN(const std::uint64_t passes, sink_.replication_factor());
        state_.history.push_back(definition);
        return passes;
    }

    // Reads element `code` with its associated field in front (2 04 YYY; never for class 31,
    // and read before the element is looked up); returns its Table B entry.
    Result<const ElementDefinition*> read_element(std::uint32_t code) {
        if (state_.associated_field_width != 0 && !is_class31(code)) [[unlikely]] {
            NV_TRY(sink_.numeric({.code = kAssociatedFieldCode, .name = kAssociatedFieldName,
                                  .width = state_.associated_field_width}));
        }
        const ElementDefinition* definition = tables_.element(code);
        if (definition == nullptr) [[unlikely]] return std::unexpected(make_error(ErrorKind::ElementNotFound, code));
        NV_TRY(read_value(*definition, definition->reference, definition->width, true));
        return definition;
    }

    // One value of `definition` under the operators in force; `table_reference` and
    // `table_width` stand in for the Table B ones (2 25 255). A reference value redefined by
    // 2 03 YYY (`redefinable`) replaces the Table B one as it stands, without 2 07 YYY.
    Status read_value(const ElementDefinition& definition, std::int64_t table_reference, std::uint16_t table_width,
                      bool redefinable) {
        if (is_text_element(definition)) [[unlikely]] {
            return sink_.text({definition.code, definition.name, &definition,
                               state_.text_width_override.value_or(table_width)});
        }
        std::int32_t width_change = state_.width_change;
        std::int32_t scale_change = state_.scale_change;
        std::int64_t multiplier = state_.reference_multiplier;
        if ((width_change != 0 || scale_change != 0 || multiplier != 1) && is_code_or_flag_table(definition))
            [[unlikely]] {
            width_change = scale_change = 0;
            multiplier = 1;
        }
        std::int64_t reference = numeric_reference(table_reference, multiplier);
        if (redefinable && state_.new_references.size() != 0) [[unlikely]] {
            if (const std::int64_t* redefined = state_.new_references.find(definition.code)) reference = *redefined;
        }
        return sink_.numeric({.code = definition.code,
                              .name = definition.name,
                              .element = &definition,
                              .reference = reference,
                              .scale = numeric_scale(definition.scale, scale_change),
                              .width = numeric_width(table_width, state_, width_change),
                              .missing_allowed = !is_class31(definition.code)});
    }

    // Between 2 03 YYY and 2 03 255 an element descriptor sends the element's new reference
    // value (YYY bits) instead of a value: nothing is recorded and the history does not grow.
    Status define_new_reference(std::uint32_t code) {
        if (tables_.element(code) == nullptr) [[unlikely]]
            return std::unexpected(make_error(ErrorKind::ElementNotFound, code));
        NV_ASSIGN(const std::int64_t reference, read_new_reference(reader_, state_.new_reference_width, code));
        state_.new_references.insert_or_assign(code, reference);
        return {};
    }

    Status run_operator(std::uint32_t code) {
        const Descriptor descriptor = Descriptor::from_code(code);
        switch (classify_operator(descriptor.x, descriptor.y)) {
            case OperatorAction::Apply:
                if (!Sink::kNewReferences && descriptor.x == 3 && descriptor.y != 0 && descriptor.y != 255)
                    [[unlikely]]
                    return std::unexpected(
                        parse_error("change of reference values (203YYY) in compressed data is not implemented"));
                break;
            case OperatorAction::CharacterData:
                return sink_.text({code, kCharacterDataName, nullptr, static_cast<std::uint16_t>(8u * descriptor.y)});
            case OperatorAction::Marker:
                NV_TRY(sink_.marker(code));
                apply_bitmap_control(descriptor.x, descriptor.y, state_);
                break;
            case OperatorAction::BitmapReference: {
                // No associated field, no history entry, and a 2 06 YYY width stays in force.
                NV_ASSIGN(const ElementDefinition* definition, state_.bitmap.next_element(state_.history));
                if (definition == nullptr) return {};
                if (descriptor.x == 25)
                    return read_value(*definition, difference_reference(*definition), difference_width(*definition),
                                      false);
                return read_value(*definition, definition->reference, definition->width, true);
            }
        }
        apply_operator(descriptor, state_);
        return {};
    }

    const TableSet& tables_;
    BitReader& reader_;
    DecodeBudget& budget_;
    Sink& sink_;
    ValueCodingState state_;
};

}  // namespace norvane
