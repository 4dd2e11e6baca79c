// One decoded value of the data section, as the decoders produce it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

inline constexpr std::string_view kOperatorName = "operator";
inline constexpr std::string_view kAssociatedFieldName = "associatedField";
inline constexpr std::string_view kCharacterDataName = "characterData";  // 2 05 YYY text

// `name` and `raw_meaning` point into the TableSet used for the decode (or at the
// constant names above), so the set must outlive the records. Everything else is owned.
struct DecodedValue {
    std::uint32_t descriptor = 0;
    bool has_raw_value = false;  // false: the value is missing
    bool has_raw = false;        // false: text elements
    bool has_raw_text = false;   // false: not a text element, or an all-ones text field
    double raw_value = 0.0;      // scaled value: (raw + reference) / 10^scale
    std::uint64_t raw = 0;       // unscaled integer as read from the bits
    std::string_view name;
    const std::string* raw_meaning = nullptr;
    std::string raw_text;
};

using DecodedValues = std::vector<DecodedValue>;

}  // namespace norvane
