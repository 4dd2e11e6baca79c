// Most-significant-bit-first reader over the section 4 data.
//
// Reads use one unaligned 64-bit big-endian load (two near the end of the data) instead of
// walking bit by bit: this is the innermost loop of every decode. A read that would pass the
// end fails without moving, so the caller sees exactly where the stream ran out.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "error/bufr_error.h"

namespace norvane {

// "not enough bits while reading section 4 at bit P for width W (N bits available)"
[[gnu::cold]] BufrError not_enough_bits(std::uint64_t position, std::uint64_t width,
                                        std::uint64_t available);
// "cannot read W bits into u64"
[[gnu::cold]] BufrError width_too_large(std::uint64_t width);

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> data)
        : data_(data.data()), length_(data.size()), bits_(static_cast<std::uint64_t>(data.size()) * 8) {}

    std::uint64_t position() const { return position_; }
    std::uint64_t length() const { return length_; }
    std::uint64_t bits_available() const { return bits_; }
    std::uint64_t bits_remaining() const { return bits_ - position_; }

    Result<std::uint64_t> read_u64(std::uint16_t width) {
        if (width == 0) return std::uint64_t{0};
        if (width > 64) [[unlikely]] return std::unexpected(width_too_large(width));
        if (width > bits_ - position_) [[unlikely]]
            return std::unexpected(not_enough_bits(position_, width, bits_));
        return read_unchecked(width);
    }

    // Octets of (width + 7) / 8; a partial last octet holds its bits in the high positions.
    Result<std::string> read_bytes(std::uint16_t width) {
        std::string out;
        if (width == 0) return out;
        out.reserve((width + 7u) / 8u);
        std::uint16_t left = width;
        while (left >= 8) {
            if (bits_ - position_ < 8) [[unlikely]]
                return std::unexpected(not_enough_bits(position_, 8, bits_));
            out.push_back(static_cast<char>(read_unchecked(8)));
            left = static_cast<std::uint16_t>(left - 8);
        }
        if (left > 0) {
            NV_ASSIGN(const std::uint64_t tail, read_u64(left));
            out.push_back(static_cast<char>(tail << (8 - left)));
        }
        return out;
    }

    // Precondition: 1 <= width <= 64 and width <= bits_remaining().
    std::uint64_t read_unchecked(unsigned width) {
        const std::uint64_t value = read_at(position_, width);
        position_ += width;
        return value;
    }

    // Passes over `bits`; precondition: bits <= bits_remaining().
    void skip(std::uint64_t bits) {
        assert(bits <= bits_remaining());
        position_ += bits;
    }

    // The `width` bits at `position`, without moving: a compressed column's increments are
    // read where they lie once the walk has passed them. Precondition: 1 <= width <= 64 and
    // position + width <= bits_available().
    std::uint64_t read_at(std::uint64_t position, unsigned width) const {
        assert(width >= 1 && width <= 64 && position + width <= bits_);
        const std::uint64_t byte = position >> 3;
        const unsigned offset = static_cast<unsigned>(position & 7);
        std::uint64_t window = load_be64(byte);  // bits [byte*8, byte*8 + 64)
        if (offset + width <= 64) return (window << offset) >> (64 - width);
        // offset + width spans 65..71 bits: the low bits come from the ninth octet.
        const unsigned low = offset + width - 64;
        const std::uint64_t head = (window << offset) >> offset;  // 64 - offset valid bits
        const std::uint64_t ninth = data_[byte + 8];
        return (head << low) | (ninth >> (8 - low));
    }

private:
    // Eight octets from `byte`, big-endian, zero-padded past the end of the data.
    std::uint64_t load_be64(std::uint64_t byte) const {
        std::uint64_t word = 0;
        if (byte + 8 <= length_) {
            std::memcpy(&word, data_ + byte, 8);
        } else {
            std::memcpy(&word, data_ + byte, static_cast<std::size_t>(length_ - byte));
        }
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        return word;
    }

    const std::uint8_t* data_;
    std::uint64_t length_;
    std::uint64_t bits_;
    std::uint64_t position_ = 0;
};

}  // namespace norvane
