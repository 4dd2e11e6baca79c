// How one occurrence of an element is coded: width, scale and reference after the
// operators in force, missing values, scaling, CCITT IA5 text, and the reference values that
// 2 03 YYY sends in the data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "descriptor/fxy.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// One numeric value (uncompressed) or block of values (compressed) as the walk asks a sink
// to read it: `width` bits, recorded under `code` and `name` as (raw + reference) / 10^scale.
// `element` is the Table B entry of an element's value, whose code-table meanings apply; it
// is null for an associated field.
struct NumericField {
    std::uint32_t code = 0;
    std::string_view name;
    const ElementDefinition* element = nullptr;
    std::int64_t reference = 0;
    std::int32_t scale = 0;
    std::uint16_t width = 0;
    bool missing_allowed = false;  // all ones marks a missing value (never in class 31)
};

// One CCITT IA5 value or block: `width` bits of characters. `element` is null for 2 05 YYY
// character data.
struct TextField {
    std::uint32_t code = 0;
    std::string_view name;
    const ElementDefinition* element = nullptr;
    std::uint16_t width = 0;
};

// An element is text exactly when its unit is "CCITT IA5" (byte-wise, no trimming).
inline bool is_text_element(const ElementDefinition& element) {
    return std::string_view(element.unit) == std::string_view("CCITT IA5");
}

// Whether the element's unit names a code or flag table ("CODE TABLE", "Flag table", "Common
// Code table C-1" ...): 2 01, 2 02 and 2 07 change the width, scale and reference of the
// other numeric elements only.
bool is_code_or_flag_table(const ElementDefinition& element);

// 2^width - 1 for width <= 64: the all-ones pattern of a field.
constexpr std::uint64_t all_ones(unsigned width) {
    return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

// 10^scale as a double by binary exponentiation (exact squarings of 10, multiplied in for
// each set bit of |scale|); for a negative scale, 1 divided by that product.
constexpr double power_of_ten_by_squaring(std::int32_t scale) {
    std::uint32_t exponent = scale < 0 ? 0u - static_cast<std::uint32_t>(scale) : static_cast<std::uint32_t>(scale);
    double result = 1.0;
    double base = 10.0;
    while (exponent != 0) {
        if (exponent & 1u) result *= base;
        base *= base;
        exponent >>= 1;
    }
    return scale < 0 ? 1.0 / result : result;
}

// The scales that occur in practice, computed by the same rule once.
inline constexpr std::int32_t kTabulatedScale = 64;
inline constexpr auto kPowersOfTen = [] {
    std::array<double, 2 * kTabulatedScale + 1> powers{};
    for (std::int32_t s = -kTabulatedScale; s <= kTabulatedScale; ++s)
        powers[static_cast<std::size_t>(s + kTabulatedScale)] = power_of_ten_by_squaring(s);
    return powers;
}();

inline double power_of_ten(std::int32_t scale) {
    if (scale >= -kTabulatedScale && scale <= kTabulatedScale) [[likely]]
        return kPowersOfTen[static_cast<std::size_t>(scale + kTabulatedScale)];
    return power_of_ten_by_squaring(scale);
}

// (raw + reference) / 10^scale, the sum formed exactly (as a 128-bit integer) and rounded
// once to double. Inline: every numeric value of every decode passes here.
inline double scaled_value(std::uint64_t raw, std::int64_t reference, std::int32_t scale) {
    __extension__ using Wide = __int128;
    const Wide sum = static_cast<Wide>(raw) + reference;
    const auto narrow = static_cast<std::int64_t>(sum);
    const double exact = sum == narrow ? static_cast<double>(narrow) : static_cast<double>(sum);
    if (scale == 0) return exact;  // x / 1.0 is x
    return exact / power_of_ten(scale);
}

// The effective numeric width: width_override when set, else the Table B width plus
// width_change, raised to 0 when negative and taken as 16 bits.
inline std::uint16_t numeric_width(std::uint16_t table_width, const ValueCodingState& state,
                                   std::int32_t width_change) {
    if (state.width_override) return *state.width_override;
    const std::int32_t width = static_cast<std::int32_t>(table_width) + width_change;
    return static_cast<std::uint16_t>(width < 0 ? 0 : width);
}
inline std::int32_t numeric_scale(std::int32_t table_scale, std::int32_t scale_change) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(table_scale) + static_cast<std::uint32_t>(scale_change));
}
inline std::int64_t numeric_reference(std::int64_t table_reference, std::int64_t reference_multiplier) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(table_reference) *
                                     static_cast<std::uint64_t>(reference_multiplier));
}

// Turns the octets of a CCITT IA5 field into its text, in place: octets above 0x7F become
// '?'. Returns the length of the text without its trailing white space (leading space and
// NULs stay), or nothing, for a missing text, when the field is empty or all 0xFF.
std::optional<std::size_t> decode_ia5_text(std::span<char> field);

// A new reference value of `width` (1 to 255) bits after 2 03 YYY: sign and magnitude, the
// leftmost bit set for a negative one. A magnitude beyond 63 bits fails (for `code`).
Result<std::int64_t> read_new_reference(BitReader& reader, unsigned width, std::uint32_t code);

// The Table B reference and width of a 2 25 255 difference value of `element`:
// -(2^width) (wrapping) and width + 1 (at most 65535).
std::int64_t difference_reference(const ElementDefinition& element);
std::uint16_t difference_width(const ElementDefinition& element);

// Truncates toward zero into [0, 2^64 - 1], saturating; NaN gives 0.
std::uint64_t saturating_u64(double value);

}  // namespace norvane
