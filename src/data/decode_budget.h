// Bounds on the work of one decode, so that hostile input cannot hang the decoder or make
// it allocate without limit. (Constants and their justification: see below.)
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
