// Descriptor expansion: a descriptor list flattened the way a reader of the message meets
// it. Sequences are replaced by their members, fixed replications are unrolled, delayed
// replications keep their factor and one copy of their body, operators 2-01, 2-02, 2-04,
// 2-06, 2-07 and 2-08 are consumed (2-04-YYY sets the associated-field width, which puts
// 999999 before each later element outside class 31), and every other operator is kept.
//
// Bounds: nesting is limited to 64 levels below the top-level list ("sequence expansion
// exceeded recursion depth"), and one top-level call handles at most
// kMaxExpansionSteps descriptors ("sequence expansion exceeded 1000000 descriptors").
// Every descriptor visited at any level and every 999999 written counts as one step, so
// the output never passes the bound and nested fixed replications, which grow
// exponentially, fail before any further allocation or work, even when their bodies write
// nothing. No real table comes near: the largest expansion of any sequence in the WMO
// tables 2 to 39 is 17,707 descriptors (340007 of version 13).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

inline constexpr unsigned kMaxExpansionDepth = 64;
inline constexpr std::size_t kMaxExpansionSteps = 1'000'000;

// Shared by every level of one top-level call, zeroed at its start.
struct ExpansionState {
    std::uint8_t associated_field_width = 0;  // 2-04-YYY; 0 means no associated field
    std::size_t steps = 0;                    // descriptors handled so far, see kMaxExpansionSteps
};

// Appends the expansion of `descriptors` to `out`. Errors: Parse (depth, step bound, F > 3
// "invalid descriptor <code>"), UnsupportedReplication, MissingReplicationFactor,
// SequenceNotFound. Element codes are not looked up in Table B.
Status expand_into(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                   std::vector<std::uint32_t>& out, ExpansionState& state, unsigned depth);

// expand_into from a zeroed state into a new list.
Result<std::vector<std::uint32_t>> expand_descriptors(const TableSet& tables,
                                                      std::span<const std::uint32_t> descriptors);

}  // namespace norvane
