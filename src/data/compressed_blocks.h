// How a compressed message lays out the values of one descriptor occurrence: a block with a
// part common to all N subsets and, unless its increment width is 0, one increment per
// subset. Every sink of compressed data reads its blocks with these. Numeric increments are
// not copied out: they are read where they lie in section 4 when a subset's value is asked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitstream/bit_reader.h"
#include "data/element_reader.h"
#include "data/text_arena.h"
#include "error/bufr_error.h"

namespace norvane {

// One subset's numeric value. A missing value's raw is the all-ones pattern of the field's
// width, as in the uncompressed layout, so the same data decodes to the same records (and
// meanings) however it was packed; R0 + I would be an arbitrary number there.
struct BlockValue {
    std::uint64_t raw = 0;
    bool missing = false;
};

// A numeric block: local reference R0 (the field's width), increment width W (6 bits), then N
// increments of W bits unless W is 0.
class NumericBlock {
public:
    // Reads R0 and W.
    static Result<NumericBlock> read(BitReader& reader, const NumericField& field) {
        NV_ASSIGN(const std::uint64_t local_reference, reader.read_u64(field.width));
        NV_ASSIGN(const std::uint64_t increment_width, reader.read_u64(6));
        NumericBlock block(field, local_reference, static_cast<unsigned>(increment_width));
        return block;
    }

    // W = 0: every subset has the value common().
    bool constant() const { return increment_width_ == 0; }
    BlockValue common() const { return value(all_missing_, local_reference_); }

    // W > 0: passes over the N increments, which stay where they lie for at(). When the data
    // ends inside them, fails at the exact bit, as reading them one by one would.
    Status skip_increments(BitReader& reader, std::size_t subsets) {
        increments_at_ = reader.position();
        const std::uint64_t bits = static_cast<std::uint64_t>(subsets) * increment_width_;
        if (bits <= reader.bits_remaining()) [[likely]] {
            reader.skip(bits);
            return {};
        }
        for (std::size_t s = 0; s < subsets; ++s) NV_TRY(reader.read_u64(static_cast<std::uint16_t>(increment_width_)));
        return std::unexpected(internal_error("compressed increments read past the data"));
    }

    // Subset `subset`'s value, from the increments passed over by skip_increments() (W > 0).
    BlockValue at(const BitReader& reader, std::size_t subset) const {
        const std::uint64_t increment = reader.read_at(increments_at_ + subset * increment_width_, increment_width_);
        const bool missing = all_missing_ || (missing_allowed_ && increment == all_ones(increment_width_));
        return value(missing, local_reference_ + increment);
    }

private:
    NumericBlock(const NumericField& field, std::uint64_t local_reference, unsigned increment_width)
        : local_reference_(local_reference), width_(field.width), increment_width_(increment_width),
          missing_allowed_(field.missing_allowed),
          all_missing_(field.missing_allowed && field.width <= 63 && local_reference == all_ones(field.width)) {}

    BlockValue value(bool missing, std::uint64_t raw) const { return {missing ? all_ones(width_) : raw, missing}; }

    std::uint64_t local_reference_;
    std::uint64_t increments_at_ = 0;  // the bit where subset 0's increment lies
    std::uint16_t width_;
    unsigned increment_width_;
    bool missing_allowed_;
    bool all_missing_;  // R0 all ones: every subset is missing, whatever the increments
};

// A character block: `width` bits of common text, a 6-bit octet count W, then W octets per
// subset unless W is 0 (the common text then goes unused).
class TextBlock {
public:
    static Result<TextBlock> read(BitReader& reader, TextArena& texts, std::uint16_t width) {
        NV_ASSIGN(const TextRef common, texts.read(reader, width));
        NV_ASSIGN(const std::uint64_t octets, reader.read_u64(6));
        return TextBlock(common, static_cast<unsigned>(octets));
    }

    bool constant() const { return octets_ == 0; }
    TextRef common() const { return common_; }

    // W > 0: reads the N texts of W octets, calling on_text(subset, TextRef) for each.
    template <class OnText>
    Status read_texts(BitReader& reader, TextArena& texts, std::size_t subsets, OnText&& on_text) const {
        const auto width = static_cast<std::uint16_t>(octets_ * 8);
        for (std::size_t s = 0; s < subsets; ++s) {
            NV_ASSIGN(const TextRef own, texts.read(reader, width));
            on_text(s, own);
        }
        return {};
    }

private:
    TextBlock(TextRef common, unsigned octets) : common_(common), octets_(octets) {}

    TextRef common_;
    unsigned octets_;
};

}  // namespace norvane
