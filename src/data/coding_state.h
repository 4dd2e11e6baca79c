// The operator, bitmap and history state that one walk carries: one per subset of an
// uncompressed message, one for a whole compressed message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "tables/table_set.h"

namespace norvane {

struct ValueCodingState {
    std::int32_t width_change = 0;                      // 2 01 YYY, 2 07 YYY
    std::int32_t scale_change = 0;                      // 2 02 YYY, 2 07 YYY
    std::int64_t reference_multiplier = 1;              // 2 07 YYY (10^YYY, wrapping)
    std::optional<std::uint16_t> width_override;        // 2 06 YYY; lapses after one plain element
    std::optional<std::uint16_t> text_width_override;   // 2 08 YYY, in bits
    std::uint8_t associated_field_width = 0;            // 2 04 YYY, in bits
    std::uint64_t text_counter = 0;         // texts read so far in the message (uncompressed)
    std::uint64_t text_column_counter = 0;  // character columns read so far (compressed)

    // 2 03 YYY: element descriptors up to 2 03 255 send YYY-bit reference values instead of
    // values; those stay in force, one per element code, until 2 03 000.
    std::uint8_t new_reference_width = 0;  // YYY while a definition runs, else 0
    std::unordered_map<std::uint32_t, std::int64_t> new_references;

    // Data present bitmap (2 22 000 ... 2 37 255): 031031 values collected after 2 36 000, or
    // after a 2 22 000, 2 23 000, 2 24 000, 2 25 000 or 2 32 000 that the 031031 values follow.
    std::vector<std::uint8_t> bitmap;
    bool bitmap_defining = false;  // set by a definition, never cleared within the state's life
    std::size_t bitmap_cursor = 0;
    std::size_t bitmap_anchor = 0;  // history length when the bitmap definition began
    // The anchor of a bitmap announced by 2 22 000 ... 2 32 000 that the next 031031 begins.
    std::optional<std::size_t> announced_bitmap_anchor;
    // The elements the first bitmap of the walk refers to, as a history length: later
    // announced bitmaps refer to the same elements until 2 35 000 cancels the reference.
    std::optional<std::size_t> backward_reference;
    // Table B entries of the elements read so far, in order; bitmap positions map onto it.
    // They point into the TableSet, which outlives the walk.
    std::vector<const ElementDefinition*> history;

    // The state of the next subset: everything initial except the text counter, which runs
    // on through the message. The vectors keep their capacity.
    void begin_next_subset() {
        const std::uint64_t carried = text_counter;
        std::vector<std::uint8_t> kept_bitmap = std::move(bitmap);
        std::vector<const ElementDefinition*> kept_history = std::move(history);
        *this = ValueCodingState{};
        text_counter = carried;
        bitmap = std::move(kept_bitmap);
        bitmap.clear();
        history = std::move(kept_history);
        history.clear();
    }
};

}  // namespace norvane
