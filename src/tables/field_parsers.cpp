#include "tables/field_parsers.h"

#include <limits>
#include <string>
#include <type_traits>

#include "error/quoted.h"
#include "tables/unicode_space.h"

namespace norvane {
namespace {

enum class NumberFault : std::uint8_t { None, Empty, InvalidDigit, TooLarge, TooSmall };

const char* reason_text(NumberFault fault) {
    switch (fault) {
        case NumberFault::Empty: return "cannot parse integer from empty string";
        case NumberFault::InvalidDigit: return "invalid digit found in string";
        case NumberFault::TooLarge: return "number too large to fit in target type";
        case NumberFault::TooSmall: return "number too small to fit in target type";
        case NumberFault::None: break;
    }
    return "";
}

// Accumulates digit by digit in T itself, so overflow is seen at the digit that causes it
// and a non-digit before that point wins.
template <class T>
NumberFault parse_decimal(std::string_view text, T& out) {
    if (text.empty()) return NumberFault::Empty;
    bool negative = false;
    std::size_t i = 0;
    if (text[0] == '+' || text[0] == '-') {
        if (text.size() == 1) return NumberFault::InvalidDigit;
        if (text[0] == '-') {
            if constexpr (!std::is_signed_v<T>) return NumberFault::InvalidDigit;
            negative = true;
        }
        i = 1;
    }
    T value = 0;
    for (; i < text.size(); ++i) {
        const unsigned digit = static_cast<unsigned char>(text[i]) - unsigned{'0'};
        if (digit > 9) return NumberFault::InvalidDigit;
        if (negative) {
            if (__builtin_mul_overflow(value, T{10}, &value) ||
                __builtin_sub_overflow(value, static_cast<T>(digit), &value))
                return NumberFault::TooSmall;
        } else {
            if (__builtin_mul_overflow(value, T{10}, &value) ||
                __builtin_add_overflow(value, static_cast<T>(digit), &value))
                return NumberFault::TooLarge;
        }
    }
    out = value;
    return NumberFault::None;
}

[[gnu::cold]] BufrError field_error(const char* prefix, std::string_view input, NumberFault fault) {
    std::string text = prefix;
    text += quoted(input);
    text += ": ";
    text += reason_text(fault);
    return parse_error(std::move(text));
}

template <class T>
Result<T> parse_field(const char* prefix, std::string_view text) {
    T value{};
    const NumberFault fault = parse_decimal(text, value);
    if (fault != NumberFault::None) [[unlikely]]
        return std::unexpected(field_error(prefix, text, fault));
    return value;
}

}  // namespace

Result<std::uint32_t> parse_code(std::string_view text) {
    std::string_view digits = trim_space(text);
    while (!digits.empty() && digits.front() == '"') digits.remove_prefix(1);
    while (!digits.empty() && digits.back() == '"') digits.remove_suffix(1);
    std::uint32_t value = 0;
    const NumberFault fault = parse_decimal(digits, value);
    if (fault != NumberFault::None) [[unlikely]]
        return std::unexpected(field_error("bad descriptor code ", text, fault));
    return value;
}

Result<std::int32_t> parse_i32(std::string_view text) { return parse_field<std::int32_t>("bad i32 ", text); }
Result<std::int64_t> parse_i64(std::string_view text) { return parse_field<std::int64_t>("bad i64 ", text); }
Result<std::uint16_t> parse_u16(std::string_view text) {
    return parse_field<std::uint16_t>("bad u16 ", text);
}
Result<std::uint64_t> parse_code_table_key(std::string_view token) {
    return parse_field<std::uint64_t>("bad code table key ", token);
}

}  // namespace norvane
