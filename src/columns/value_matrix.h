// One message's values as a matrix: a row per subset, a column per position of the expanded
// descriptors, float64 with NaN where a value is missing or a text. The shape satellite data
// is used in; a compressed message always has it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "columns/pod_column.h"
#include "data/decoder.h"
#include "error/bufr_error.h"

namespace norvane {

struct ValueMatrix {
    std::size_t subsets = 0;
    std::size_t positions = 0;
    PodColumn<double> values;  // subsets x positions, row by row
    std::vector<std::uint32_t> descriptors;  // of the positions
    std::vector<std::string> keys;           // of the positions (see columns/element_key.h)
};

// Fails when the subsets do not share one list of descriptors (an uncompressed message whose
// replications differ between subsets).
Result<ValueMatrix> value_matrix(const DecodedMessage& message);

}  // namespace norvane
