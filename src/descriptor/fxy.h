// The FXY code: a descriptor as one integer F * 100000 + X * 1000 + Y.
#pragma once

#include <cstdint>

namespace norvane {

constexpr std::uint32_t kAssociatedFieldCode = 999999;

constexpr std::uint32_t fxy_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
    return f * 100000 + x * 1000 + y;
}
constexpr std::uint32_t fxy_f(std::uint32_t code) { return code / 100000; }
constexpr std::uint32_t fxy_x(std::uint32_t code) { return (code % 100000) / 1000; }
constexpr std::uint32_t fxy_y(std::uint32_t code) { return code % 1000; }
// Y as the 8-bit operand of replications and operators.
constexpr std::uint8_t fxy_y8(std::uint32_t code) { return static_cast<std::uint8_t>(code % 1000); }

// Class 31 (replication factors, data present indicators, associated field significance)
// is never missing and never gets an associated field.
constexpr bool is_class31(std::uint32_t code) { return fxy_x(code) == 31; }

// The three 8-bit parts of a descriptor, as the Python `Descriptor` class holds them.
struct Descriptor {
    std::uint8_t f = 0;
    std::uint8_t x = 0;
    std::uint8_t y = 0;

    constexpr std::uint32_t code() const { return fxy_code(f, x, y); }
    // Each part keeps its low 8 bits; the code is not checked to be a valid descriptor.
    static constexpr Descriptor from_code(std::uint32_t code) {
        return {static_cast<std::uint8_t>(fxy_f(code)), static_cast<std::uint8_t>(fxy_x(code)),
                static_cast<std::uint8_t>(fxy_y(code))};
    }
};

}  // namespace norvane
