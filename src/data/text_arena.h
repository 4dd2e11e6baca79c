// The texts of one decode, kept in one buffer: a record or a column cell refers to its
// text by offset instead of owning a string, and a text that serves every subset of a
// compressed message is kept once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bitstream/bit_reader.h"
#include "error/bufr_error.h"

namespace norvane {

struct TextRef {
    std::uint32_t offset = 0;
    std::uint16_t length = 0;
    bool present = false;  // false: an all-ones (or empty) field, a missing text
};

class TextArena {
public:
    // Reads a CCITT IA5 field of `width` bits (octets as BitReader::read_bytes forms them)
    // and keeps its text. A present text occupies at least one octet, so no two present
    // texts start at the same address.
    Result<TextRef> read(BitReader& reader, std::uint16_t width);

    // Valid until the next read.
    std::string_view view(TextRef text) const { return {octets_.data() + text.offset, text.length}; }

private:
    std::string octets_;
};

}  // namespace norvane
