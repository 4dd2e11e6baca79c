// Operator descriptors (F = 2): which ones leave a marker in the output, which ones
// control the data present bitmap, and how the rest change the coding state.
#pragma once

#include <cstdint>

#include "data/coding_state.h"
#include "descriptor/fxy.h"

namespace norvane {

enum class OperatorAction : std::uint8_t {
    Apply,            // only apply_operator (most operators change nothing at all)
    Marker,           // an operator marker record, bitmap control, then apply_operator
    BitmapReference,  // 2 23 255, 2 24 255, 2 25 255, 2 32 255: a value of a bitmapped element
    CharacterData,    // 2 05 YYY: YYY characters of text in the data
};

// `y` is the 8-bit operand (Y modulo 256).
constexpr OperatorAction classify_operator(std::uint32_t x, std::uint32_t y) {
    switch (x) {
        case 5:
            return OperatorAction::CharacterData;
        case 23: case 24: case 25: case 32:
            return y == 255 ? OperatorAction::BitmapReference : OperatorAction::Marker;
        case 22: case 36: case 62:
            return y == 0 ? OperatorAction::Marker : OperatorAction::Apply;
        case 26: case 27: case 29: case 30: case 31: case 33: case 34: case 35:
        case 37: case 38: case 39: case 40: case 41: case 42:
            return OperatorAction::Marker;
        default:
            return OperatorAction::Apply;
    }
}

// Bitmap control after a marker: 2 36 000 begins a definition anchored at the history
// length, 2 35 000 and 2 37 YYY (YYY != 0) cancel the bitmap, 2 37 000 rewinds it;
// 2 22 000, 2 23 000, 2 24 000, 2 25 000 and 2 32 000 announce a definition.
void apply_bitmap_control(std::uint32_t x, std::uint32_t y, ValueCodingState& state);

// Changes the state for 2 01, 2 02, 2 03, 2 04, 2 06, 2 07 and 2 08; every other operator is
// accepted without effect. Cannot fail.
void apply_operator(Descriptor descriptor, ValueCodingState& state);

}  // namespace norvane
