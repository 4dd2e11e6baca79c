// Building texts without <format> (GCC 12 lacks it): concat("bit ", 12, " of ", name).
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

namespace detail {
inline void append_piece(std::string& out, std::string_view piece) { out.append(piece); }
inline void append_piece(std::string& out, const char* piece) { out.append(piece); }
inline void append_piece(std::string& out, const std::string& piece) { out.append(piece); }
inline void append_piece(std::string& out, char piece) { out.push_back(piece); }
template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append_piece(std::string& out, T value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}
}  // namespace detail

// Integers are written in decimal without padding.
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

// An FXY code zero-padded to at least six digits: 1001 -> "001001".
inline std::string fxy6(std::uint32_t code) {
    std::string digits = concat(code);
    if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
    return digits;
}

}  // namespace norvane
