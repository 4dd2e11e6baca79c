// Bounds on the work of one decode, so that hostile input cannot hang the decoder or make
// it allocate without limit.
//
// The format lets a few bits stand for unbounded work: a delayed replication factor may
// be up to 2^64 - 1, replicated bodies may read no bits at all (operator markers,
// zero-width elements, 2 05 000 texts, empty sequences), nested replications multiply,
// and one 6-bit block of a compressed message stands for up to 65535 values. Two counters
// bound a decode by the size of its section 4 data:
//
//   descriptor steps <= 2^20 + 16 x (section 4 bits)   (one step per descriptor visited)
//   decoded values   <= 2^20 + 16 x (section 4 bits)   (records, all subsets together)
//
// Every replication pass visits at least one descriptor, so the step bound also bounds the
// number of passes; each step of the uncompressed walk adds at most two records, each step
// of the compressed walk at most two columns of N records.
//
// No real message comes near either bound. Over the 24,232 messages of the shared corpus
// (GTS and satellite products, both layouts), ecCodes counts at most 2.2 values per bit of
// section 4 (a compressed 1000-subset product) and 322,920 values in one message; this
// walk takes at most 0.2 steps per bit on the edition 4 messages. The constant term lets
// small messages whose values cost (almost) no bits, such as a compressed message of a
// thousand subsets whose columns are all missing, decode in full. Reaching a bound costs
// time and memory in proportion to the message's own size: a few nanoseconds per step and
// under 100 bytes per record (10 to 150 ms for the constant term alone, measured).
#pragma once

#include <cstdint>

#include "error/bufr_error.h"

namespace norvane {

// Sequences and replications nest at most this many levels below the top-level list.
inline constexpr unsigned kMaxWalkDepth = 64;

inline constexpr std::uint64_t kBudgetBase = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kBudgetPerBit = 16;

class DecodeBudget {
public:
    explicit DecodeBudget(std::uint64_t section4_bits)
        : bits_(section4_bits), max_steps_(kBudgetBase + kBudgetPerBit * section4_bits),
          max_records_(kBudgetBase + kBudgetPerBit * section4_bits) {}

    // Counts one descriptor visit and checks both bounds; `records` is the number of
    // records the decode holds so far.
    Status take_step(std::uint64_t records) {
        if (++steps_ > max_steps_) [[unlikely]] return std::unexpected(steps_exceeded());
        return check_records(records);
    }
    // Fails when a decode would hold more than the bound of records.
    Status check_records(std::uint64_t records) const {
        if (records > max_records_) [[unlikely]] return std::unexpected(records_exceeded());
        return {};
    }

    std::uint64_t max_steps() const { return max_steps_; }
    std::uint64_t max_records() const { return max_records_; }
    std::uint64_t steps() const { return steps_; }

private:
    [[gnu::cold, gnu::noinline]] BufrError steps_exceeded() const;
    [[gnu::cold, gnu::noinline]] BufrError records_exceeded() const;

    std::uint64_t bits_;
    std::uint64_t max_steps_;
    std::uint64_t max_records_;
    std::uint64_t steps_ = 0;
};

}  // namespace norvane
