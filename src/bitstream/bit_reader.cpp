#include "bitstream/bit_reader.h"

#include "error/text.h"

namespace norvane {

BufrError not_enough_bits(std::uint64_t position, std::uint64_t width, std::uint64_t available) {
    return parse_error(concat("not enough bits while reading section 4 at bit ", position, " for width ", width,
                              " (", available, " bits available)"));
}

BufrError width_too_large(std::uint64_t width) {
    return parse_error(concat("cannot read ", width, " bits into u64"));
}

}  // namespace norvane
