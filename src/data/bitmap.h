// Data present bitmaps and associated fields.
//
// A bitmap is collected from 031031 values after 2 36 000 (or after an operator that
// announces one, see apply_bitmap_control); its positions map onto the
// element history (the Table B entries read so far), so that 2 23 255, 2 24 255, 2 25 255
// and 2 32 255 read a further value for each element the bitmap marks present (0).
// Associated fields (2 04 YYY) are extra bits sent in front of each element.
#pragma once

#include <cstdint>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/decoded_value.h"
#include "error/bufr_error.h"

namespace norvane {

inline constexpr std::uint32_t kBitmapIndicatorCode = 31031;  // 0 31 031, data present indicator

// The bitmap entry of a 031031 value: truncated toward zero into [0, 255].
std::uint8_t bitmap_entry(double value);

// Whether a 031031 the walk has just read is a bitmap entry rather than an element. The
// first one after an announcing operator begins the announced bitmap, as 2 36 000 would.
bool takes_bitmap_entry(ValueCodingState& state);

// The next element the bitmap marks present, or nullptr when there is no bitmap or it is
// used up; advances the cursor. Fails with "bitmap reference is outside descriptor history"
// when the position maps past the history (the cursor has moved on all the same).
Result<const ElementDefinition*> next_bitmap_element(ValueCodingState& state);

// Reads an associated field of `width` bits (none when 0) and appends its record: 999999,
// "associatedField", the integer as raw and as raw_value, never missing, never scaled.
Status read_associated_field(BitReader& reader, std::uint8_t width, DecodedValues& out);

}  // namespace norvane
