#include "tables/code_map.h"

#include <random>

namespace norvane {
namespace {

std::uint64_t draw_multiplier() {
    try {
        std::random_device device;
        const std::uint64_t high = device(), low = device();
        return (high << 32) | low | 1;
    } catch (...) {
        // No entropy source: the golden-ratio constant still spreads FXY codes well.
        return 0x9E3779B97F4A7C15ull;
    }
}

}  // namespace

std::uint64_t code_map_multiplier() {
    static const std::uint64_t multiplier = draw_multiplier();
    return multiplier;
}

}  // namespace norvane
