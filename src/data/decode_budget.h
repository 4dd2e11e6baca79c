// Bounds on the work of one decode, so that hostile input cannot hang the decoder or make
// it allocate without limit.
//
// The format lets a few bits stand for unbounded work: a delayed replication factor may be
// up to 2^64 - 1, replicated bodies may read no bits at all (operator markers, zero-width
// elements, 2 05 000 texts, empty sequences), nested replications multiply, and one 6-bit
// block of a compressed message stands for up to 65535 values. Every step of the walk costs
// O(1) amortised (a column of N values is paid by its N increments, or kept as one cell),
// so two counters bound a decode by the bits of section 4 it has actually read so far;
// octets that are never read earn nothing:
//
//   descriptor steps <= 2^16 + 1 x (bits read)    (one step per descriptor visited)
//   values           <= 2^20 + 16 x (bits read)   (records, all subsets together)
//
// Every replication pass visits at least one descriptor, so the step bound also bounds the
// passes; an uncompressed step adds at most two records (an associated field, which costs a
// bit, and its element), a compressed step at most two columns.
//
// Over the 23,125 edition 4 messages of the shared corpus (GTS and satellite products, both
// layouts) the walk takes at most 0.20 steps per bit read (a TEMP profile; compressed
// messages 0.04), and at any point of any message steps <= 5 + 0.25 x (bits read): one step
// per bit leaves a fivefold margin, and the constant only lets a message visit its first
// descriptors before it reads anything. Values reach 2.16 per bit (a compressed NCEP
// product; uncompressed 0.19) and 322,920 in one message; values <= 18,412 + 16 x (bits
// read) throughout. The value bound keeps a sevenfold margin, and its constant lets small
// messages whose values cost (almost) no bits decode in full, such as a compressed message
// of a thousand subsets whose columns are all missing: a constant column is kept once, so
// such values cost the decoder nothing until they are visited.
//
// Reaching a bound costs time and memory in proportion to the bits read: a 64 KB section
// earns at most 590,000 steps and 1.1 million records of 32 bytes; the worst inputs built
// for this (associated fields on zero-width elements, marker columns) fail in under 30 ms
// and 60 MB.
#pragma once

#include <cstdint>

#include "bitstream/bit_reader.h"
#include "error/bufr_error.h"

namespace norvane {

// Sequences and replications nest at most this many levels below the top-level list.
inline constexpr unsigned kMaxWalkDepth = 64;

inline constexpr std::uint64_t kStepBase = std::uint64_t{1} << 16;
inline constexpr std::uint64_t kStepsPerBit = 1;
inline constexpr std::uint64_t kValueBase = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kValuesPerBit = 16;

class DecodeBudget {
public:
    // Bits count as they are read from `reader`, which must outlive the budget.
    explicit DecodeBudget(const BitReader& reader) : reader_(reader) {}

    // Counts one descriptor visit and checks both bounds; `values` is the number of records
    // the decode holds so far.
    Status take_step(std::uint64_t values) {
        ++steps_;
        if (steps_ > kStepBase + kStepsPerBit * reader_.position()) [[unlikely]]
            return std::unexpected(steps_exceeded());
        return check_values(values);
    }
    // Fails when a decode holds more records than the bits read so far allow.
    Status check_values(std::uint64_t values) const {
        if (values > kValueBase + kValuesPerBit * reader_.position()) [[unlikely]]
            return std::unexpected(values_exceeded());
        return {};
    }

private:
    [[gnu::cold, gnu::noinline]] BufrError steps_exceeded() const;
    [[gnu::cold, gnu::noinline]] BufrError values_exceeded() const;

    const BitReader& reader_;
    std::uint64_t steps_ = 0;
};

}  // namespace norvane
