// Reading one occurrence of a Table B element: width, scale and reference after the
// operators in force, missing values, scaling, CCITT IA5 text and code-table meanings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/decoded_value.h"
#include "descriptor/fxy.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// An element is text exactly when its unit is "CCITT IA5" (byte-wise, no trimming).
inline bool is_text_element(const ElementDefinition& element) {
    return std::string_view(element.unit) == std::string_view("CCITT IA5");
}

// 2^width - 1 for width <= 64: the all-ones pattern of a field.
constexpr std::uint64_t all_ones(unsigned width) {
    return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

// 10^scale as a double by binary exponentiation (exact squarings of 10, multiplied in for
// each set bit of |scale|); for a negative scale, 1 divided by that product.
double power_of_ten(std::int32_t scale);

// (raw + reference) / 10^scale, the sum formed exactly (as a 128-bit integer) and rounded
// once to double.
double scaled_value(std::uint64_t raw, std::int64_t reference, std::int32_t scale);

// The effective numeric width: width_override when set, else the Table B width plus
// width_change, raised to 0 when negative and taken as 16 bits.
inline std::uint16_t numeric_width(std::uint16_t table_width, const ValueCodingState& state) {
    if (state.width_override) return *state.width_override;
    const std::int32_t width = static_cast<std::int32_t>(table_width) + state.width_change;
    return static_cast<std::uint16_t>(width < 0 ? 0 : width);
}
inline std::int32_t numeric_scale(std::int32_t table_scale, const ValueCodingState& state) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(table_scale) +
                                     static_cast<std::uint32_t>(state.scale_change));
}
inline std::int64_t numeric_reference(std::int64_t table_reference, const ValueCodingState& state) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(table_reference) *
                                     static_cast<std::uint64_t>(state.reference_multiplier));
}

// Turns the octets of a CCITT IA5 field into its text, in place: octets above 0x7F become
// '?', trailing white space is dropped (leading space and NULs stay). Returns false, for a
// missing text, when the field is empty or all 0xFF.
bool decode_ia5_text(std::string& field);

// Reads `element` with the operators of `state` and appends its record to `out`. Nothing
// is appended (and the text counter does not move) when the read fails. A reference value
// redefined by 2 03 YYY replaces the Table B one as it stands, without the 2 07 YYY factor.
Status read_element(const ElementDefinition& element, const TableSet& tables, BitReader& reader,
                    ValueCodingState& state, DecodedValues& out);

// As read_element, with the reference value and width of a 2 25 255 difference value in
// place of the Table B ones (a redefined reference value does not apply).
Status read_element_as(const ElementDefinition& element, std::int64_t table_reference,
                       std::uint16_t table_width, const TableSet& tables, BitReader& reader,
                       ValueCodingState& state, DecodedValues& out);

// 2 05 YYY: reads YYY characters as a CCITT IA5 field and appends a text record under the
// operator's own `code`, named "characterData"; it counts as a text of the message.
Status read_character_data(std::uint32_t code, std::uint8_t characters, BitReader& reader,
                           ValueCodingState& state, DecodedValues& out);

// A new reference value of `width` (1 to 255) bits after 2 03 YYY: sign and magnitude, the
// leftmost bit set for a negative one. A magnitude beyond 63 bits fails (for `code`).
Result<std::int64_t> read_new_reference(BitReader& reader, unsigned width, std::uint32_t code);

// The Table B reference and width of a 2 25 255 difference value of `element`:
// -(2^width) (wrapping) and width + 1 (at most 65535).
std::int64_t difference_reference(const ElementDefinition& element);
std::uint16_t difference_width(const ElementDefinition& element);

// The value a delayed replication factor or a bitmap entry takes from a record: the
// scaled number of a present numeric value, nothing for a missing value or a text.
inline bool numeric_value_of(const DecodedValue& value, double& out) {
    if (!value.has_raw || !value.has_raw_value) return false;
    out = value.raw_value;
    return true;
}

// Truncates toward zero into [0, 2^64 - 1], saturating; NaN gives 0.
std::uint64_t saturating_u64(double value);

}  // namespace norvane
