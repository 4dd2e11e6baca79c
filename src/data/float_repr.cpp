#include "data/float_repr.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace norvane {

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // Scientific form without a precision gives the shortest round-trip digits,
    // "-d.ddde+XX"; the digits and the exponent are then laid out by our own rule.
    char buffer[48];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }

    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        out += digits.front();
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exponent);
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        out += digits;
        out.append(integer_digits - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, integer_digits);
        out += '.';
        out.append(digits, integer_digits);
    }
}

std::string float_repr(double value) {
    std::string out;
    append_float_repr(out, value);
    return out;
}

}  // namespace norvane
