#include "bitstream/bit_reader.h"

#include <format>

namespace norvane {

BufrError not_enough_bits(std::uint64_t position, std::uint64_t width, std::uint64_t available) {
    return parse_error(std::format(
        "not enough bits while reading section 4 at bit {} for width {} ({} bits available)",
        position, width, available));
}

BufrError width_too_large(std::uint64_t width) {
    return parse_error(std::format("cannot read {} bits into u64", width));
}

}  // namespace norvane
