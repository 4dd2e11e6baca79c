#include "data/operators.h"

namespace norvane {

void apply_bitmap_control(std::uint32_t x, std::uint32_t y, ValueCodingState& state) {
    if (y == 0 && (x == 22 || x == 23 || x == 24 || x == 25 || x == 32)) {
        state.announced_bitmap_anchor = state.backward_reference.value_or(state.history.size());
        return;
    }
    if ((x == 35 && y == 0) || x == 36 || x == 37) state.announced_bitmap_anchor.reset();
    if (x == 36 && y == 0) {
        state.bitmap_defining = true;
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        state.bitmap_anchor = state.history.size();
        if (!state.backward_reference) state.backward_reference = state.bitmap_anchor;
    } else if ((x == 35 && y == 0) || (x == 37 && y != 0)) {
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        state.bitmap_anchor = 0;
        if (x == 35) state.backward_reference.reset();
    } else if (x == 37) {
        state.bitmap_cursor = 0;
    }
}

void apply_operator(Descriptor descriptor, ValueCodingState& state) {
    const std::uint32_t y = descriptor.y;
    switch (descriptor.x) {
        case 1:
            state.width_change = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
            break;
        case 2:
            state.scale_change = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
            break;
        case 3:
            // 2 03 255 ends a definition, 2 03 000 also cancels what was defined.
            if (y == 0) state.new_references.clear();
            state.new_reference_width = y == 255 ? 0 : static_cast<std::uint8_t>(y);
            break;
        case 4:
            state.associated_field_width = static_cast<std::uint8_t>(y);
            break;
        case 6:
            state.width_override = static_cast<std::uint16_t>(y);
            break;
        case 7:
            if (y == 0) {
                state.width_change = 0;
                state.scale_change = 0;
                state.reference_multiplier = 1;
            } else {
                state.width_change = static_cast<std::int32_t>((10 * y + 2) / 3);
                state.scale_change = static_cast<std::int32_t>(y);
                std::uint64_t multiplier = 1;  // 10^Y, wrapping beyond Y = 18
                for (std::uint32_t i = 0; i < y; ++i) multiplier *= 10;
                state.reference_multiplier = static_cast<std::int64_t>(multiplier);
            }
            break;
        case 8:
            if (y == 0) state.text_width_override.reset();
            else state.text_width_override = static_cast<std::uint16_t>(8 * y);
            break;
        default:
            break;
    }
}

}  // namespace norvane
