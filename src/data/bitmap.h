// Data present bitmaps.
//
// A bitmap is collected from 031031 values after 2 36 000 (or after an operator that
// announces one, see apply_bitmap_control); its positions map onto the element history
// (the Table B entries read so far), so that 2 23 255, 2 24 255, 2 25 255 and 2 32 255 read
// a further value for each element the bitmap marks present (any entry but 1).
//
// Only the present positions are kept, in order, and the cursor counts the ones used: every
// operation is O(1), however often 2 37 000 rewinds a bitmap of mostly absent elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

inline constexpr std::uint32_t kBitmapIndicatorCode = 31031;  // 0 31 031, data present indicator

// The bitmap entry of a 031031 value: truncated toward zero into [0, 255].
std::uint8_t bitmap_entry(double value);

class DataPresentBitmap {
public:
    // 2 36 000: a definition begins, its positions anchored at `history_length`.
    void begin_definition(std::size_t history_length) {
        restart(history_length);
        defining_ = true;
        if (!backward_reference_) backward_reference_ = history_length;
    }
    // 2 22 000, 2 23 000, 2 24 000, 2 25 000, 2 32 000: the next 031031 begins a definition
    // (older messages send the bitmap right after them, without 2 36 000). It refers to the
    // elements of the walk's first bitmap, or to those before the operator.
    void announce(std::size_t history_length) {
        announced_anchor_ = backward_reference_.value_or(history_length);
    }
    // 2 35 000 (`drop_reference`: the next bitmap refers to new elements) and 2 37 YYY.
    void cancel(bool drop_reference) {
        restart(0);
        if (drop_reference) backward_reference_.reset();
    }
    // 2 37 000: the bitmap selects the same elements again.
    void rewind() {
        cursor_ = 0;
        announced_anchor_.reset();
    }

    // Whether a 031031 the walk has just read is a bitmap entry rather than an element. The
    // first one after an announcing operator begins the announced bitmap, as 2 36 000 would.
    bool takes_entry() {
        if (announced_anchor_) [[unlikely]] begin_definition(*announced_anchor_);
        return defining_;
    }
    void add_entry(std::uint8_t entry) {
        if (entry != 1) present_.push_back(length_);
        ++length_;
    }

    // No bitmap and no definition, as at the start of a walk; keeps the allocation.
    void reset() {
        std::vector<std::size_t> kept = std::move(present_);
        kept.clear();
        *this = DataPresentBitmap{};
        present_ = std::move(kept);
    }

    // The next element the bitmap marks present, or nullptr when there is none (no bitmap,
    // or used up). Fails with "bitmap reference is outside descriptor history" when the
    // position maps past `history` (the position counts as used all the same).
    Result<const ElementDefinition*> next_element(std::span<const ElementDefinition* const> history);

private:
    void restart(std::size_t anchor) {
        present_.clear();
        length_ = 0;
        cursor_ = 0;
        anchor_ = anchor;
        announced_anchor_.reset();
    }

    std::vector<std::size_t> present_;  // positions whose entry is not 1
    std::size_t length_ = 0;            // entries collected
    std::size_t cursor_ = 0;            // present positions used so far
    std::size_t anchor_ = 0;            // history length when the definition began
    bool defining_ = false;             // set by a definition, kept for the life of the walk state
    std::optional<std::size_t> announced_anchor_;
    // The elements the first bitmap of the walk refers to, as a history length: later
    // announced bitmaps refer to the same elements until 2 35 000 cancels the reference.
    std::optional<std::size_t> backward_reference_;
};

}  // namespace norvane
