#include "data/text_arena.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <span>

#include "data/element_reader.h"

namespace norvane {

Result<TextRef> TextArena::read(BitReader& reader, std::uint16_t width) {
    if (width > reader.bits_remaining()) [[unlikely]] {
        // The reader reports where the field runs out.
        NV_TRY(reader.read_bytes(width));
        return std::unexpected(internal_error("text field read past the data"));
    }
    const std::size_t offset = octets_.size();
    assert(offset <= std::numeric_limits<std::uint32_t>::max());  // texts come from at most 2^27 bits
    const std::size_t octets = (width + 7u) / 8u;
    octets_.resize(offset + octets);
    char* field = octets_.data() + offset;
    const unsigned whole = width / 8u;
    for (unsigned i = 0; i < whole; ++i) field[i] = static_cast<char>(reader.read_unchecked(8));
    if (const unsigned tail = width % 8u; tail != 0)
        field[whole] = static_cast<char>(reader.read_unchecked(tail) << (8 - tail));
    const std::optional<std::size_t> length = decode_ia5_text(std::span<char>(field, octets));
    if (!length) {
        octets_.resize(offset);
        return TextRef{};
    }
    octets_.resize(offset + std::max<std::size_t>(*length, 1));
    return TextRef{static_cast<std::uint32_t>(offset), static_cast<std::uint16_t>(*length), true};
}

}  // namespace norvane
