// One decoded value of the data section, as a decode hands it to its visitor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

inline constexpr std::string_view kOperatorName = "operator";
inline constexpr std::string_view kAssociatedFieldName = "associatedField";
inline constexpr std::string_view kCharacterDataName = "characterData";  // 2 05 YYY text

// A view: `name` and `raw_meaning` point into the TableSet used for the decode (or at the
// constant names above), `raw_text` into the decoded message, which must outlive it. Two
// present texts with the same address are the same text.
struct DecodedValue {
    std::uint32_t descriptor = 0;
    bool has_raw_value = false;  // false: the value is missing
    bool has_raw = false;        // false: text elements
    bool has_raw_text = false;   // false: not a text element, or an all-ones text field
    double raw_value = 0.0;      // scaled value: (raw + reference) / 10^scale
    std::uint64_t raw = 0;       // unscaled integer as read from the bits
    std::string_view name;
    const std::string* raw_meaning = nullptr;
    std::string_view raw_text;
};

}  // namespace norvane
