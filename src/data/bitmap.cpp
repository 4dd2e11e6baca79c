#include "data/bitmap.h"

#include "descriptor/fxy.h"

namespace norvane {

std::uint8_t bitmap_entry(double value) {
    if (!(value > 0.0)) return 0;  // negative, zero and NaN
    return value >= 255.0 ? 255 : static_cast<std::uint8_t>(value);
}

bool takes_bitmap_entry(ValueCodingState& state) {
    if (state.announced_bitmap_anchor) [[unlikely]] {
        state.bitmap_defining = true;
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        state.bitmap_anchor = *state.announced_bitmap_anchor;
        if (!state.backward_reference) state.backward_reference = state.bitmap_anchor;
        state.announced_bitmap_anchor.reset();
    }
    return state.bitmap_defining;
}

Result<const ElementDefinition*> next_bitmap_element(ValueCodingState& state) {
    const std::size_t length = state.bitmap.size();
    if (state.bitmap_cursor >= length) return nullptr;  // also the empty bitmap
    while (state.bitmap[state.bitmap_cursor] == 1) {
        if (++state.bitmap_cursor == length) return nullptr;
    }
    const std::size_t position = state.bitmap_cursor++;
    const std::size_t offset = state.bitmap_anchor > length ? state.bitmap_anchor - length : 0;
    const std::size_t entry = position + offset;
    if (entry >= state.history.size()) [[unlikely]]
        return std::unexpected(parse_error("bitmap reference is outside descriptor history"));
    return state.history[entry];
}

Status read_associated_field(BitReader& reader, std::uint8_t width, DecodedValues& out) {
    if (width == 0) return {};
    NV_ASSIGN(const std::uint64_t raw, reader.read_u64(width));
    DecodedValue& value = out.emplace_back();
    value.descriptor = kAssociatedFieldCode;
    value.name = kAssociatedFieldName;
    value.has_raw_value = true;
    value.raw_value = static_cast<double>(raw);
    value.has_raw = true;
    value.raw = raw;
    return {};
}

}  // namespace norvane
