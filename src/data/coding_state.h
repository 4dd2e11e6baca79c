// The operator, bitmap and history state that one walk carries: one per subset of an
// uncompressed message, one for a whole compressed message.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "data/bitmap.h"
#include "tables/code_map.h"
#include "tables/table_set.h"

namespace norvane {

struct ValueCodingState {
    std::int32_t width_change = 0;                     // 2 01 YYY, 2 07 YYY
    std::int32_t scale_change = 0;                     // 2 02 YYY, 2 07 YYY
    std::int64_t reference_multiplier = 1;             // 2 07 YYY (10^YYY, wrapping)
    std::optional<std::uint16_t> width_override;       // 2 06 YYY; lapses after one plain element
    std::optional<std::uint16_t> text_width_override;  // 2 08 YYY, in bits
    std::uint8_t associated_field_width = 0;           // 2 04 YYY, in bits

    // 2 03 YYY: element descriptors up to 2 03 255 send YYY-bit reference values instead of
    // values; those stay in force, one per element code, until 2 03 000.
    std::uint8_t new_reference_width = 0;  // YYY while a definition runs, else 0
    CodeMap<std::int64_t> new_references;

    DataPresentBitmap bitmap;  // 2 22 000 ... 2 37 255
    // Table B entries of the elements read so far, in order; bitmap positions map onto it.
    // They point into the TableSet, which outlives the walk.
    std::vector<const ElementDefinition*> history;

    // The initial state, for the next subset; the history and bitmap keep their allocations.
    void reset() {
        std::vector<const ElementDefinition*> kept_history = std::move(history);
        DataPresentBitmap kept_bitmap = std::move(bitmap);
        *this = ValueCodingState{};
        kept_history.clear();
        kept_bitmap.reset();
        history = std::move(kept_history);
        bitmap = std::move(kept_bitmap);
    }
};

}  // namespace norvane
