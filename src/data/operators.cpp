#include "data/operators.h"

namespace norvane {

void apply_bitmap_control(std::uint32_t x, std::uint32_t y, ValueCodingState& state) {
    DataPresentBitmap& bitmap = state.bitmap;
    if (y == 0 && (x == 22 || x == 23 || x == 24 || x == 25 || x == 32)) {
        bitmap.announce(state.history.size());
    } else if (x == 36 && y == 0) {
        bitmap.begin_definition(state.history.size());
    } else if ((x == 35 && y == 0) || (x == 37 && y != 0)) {
        bitmap.cancel(x == 35);
    } else if (x == 37) {
        bitmap.rewind();
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
            // 2 03 255 ends a definition, 2 03 000 also cancels what was defined. A fresh map
            // rather than clear(), whose cost is that of the largest map so far, every time.
            if (y == 0 && state.new_references.size() != 0) state.new_references = {};
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
