// The walk of an uncompressed subset: the descriptor list is expanded on the fly (Table D
// sequences, fixed and delayed replications) while each element is read in turn.
#pragma once

#include <cstdint>
#include <span>

#include "bitstream/bit_reader.h"
#include "data/coding_state.h"
#include "data/decode_budget.h"
#include "data/decoded_value.h"
#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// What every level of the walk shares; the coding state is per subset.
struct SubsetWalk {
    const TableSet& tables;
    BitReader& reader;
    DecodedValues& out;
    DecodeBudget& budget;
};

// Walks `descriptors` (the section 3 list, a sequence's members or a replicated group) at
// nesting `depth` (0 for the top level), appending records to `walk.out`. Fails with
// "descriptor decode exceeded recursion depth" below kMaxWalkDepth levels.
Status decode_descriptor_values_inner(std::span<const std::uint32_t> descriptors, const SubsetWalk& walk,
                                      ValueCodingState& state, unsigned depth);

}  // namespace norvane
