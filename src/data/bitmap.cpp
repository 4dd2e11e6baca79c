#include "data/bitmap.h"

namespace norvane {

std::uint8_t bitmap_entry(double value) {
    if (!(value > 0.0)) return 0;  // negative, zero and NaN
    return value >= 255.0 ? 255 : static_cast<std::uint8_t>(value);
}

Result<const ElementDefinition*> DataPresentBitmap::next_element(std::span<const ElementDefinition* const> history) {
    if (cursor_ == present_.size()) return nullptr;
    const std::size_t position = present_[cursor_++];
    // A bitmap longer than the history before its definition counts from the first element.
    const std::size_t offset = anchor_ > length_ ? anchor_ - length_ : 0;
    const std::size_t entry = position + offset;
    if (entry >= history.size()) [[unlikely]]
        return std::unexpected(parse_error("bitmap reference is outside descriptor history"));
    return history[entry];
}

}  // namespace norvane
