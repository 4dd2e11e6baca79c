// Which rows a long table keeps when its reader asks for a few keys only: the values of those
// keys, and every coordinate (an element of classes 01 to 09: station, time, position,
// height, pressure, significance), which observation rows need to place them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

class KeySelection {
public:
    explicit KeySelection(const std::vector<std::string>& keys) : keys_(keys.begin(), keys.end()) {}

    bool selects(std::string_view key) const { return keys_.contains(key); }

    // F = 0 and X from 1 to 9: the descriptor as an FXY integer lies in [1000, 10000).
    static bool is_coordinate(std::uint32_t descriptor) { return descriptor - 1000u < 9000u; }

private:
    std::set<std::string, std::less<>> keys_;
};

}  // namespace norvane
