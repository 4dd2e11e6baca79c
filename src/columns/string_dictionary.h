// The distinct strings of a dictionary-encoded column, in first-seen order, laid out as an
// Arrow utf8 array (int32 offsets and one character buffer).
//
// Every string is valid UTF-8, as Arrow requires: names, units and meanings come from table
// files, which the loaders refuse unless they are UTF-8, and texts from the data are ASCII
// (IA5 decoding turns octets above 0x7F into '?'). Texts may still be hostile, so the hash is
// seeded once per process like the tables' maps: no input can aim them at one probe cluster.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/bufr_error.h"

namespace norvane {

class StringDictionary {
public:
    StringDictionary();

    // The index of `text`, added when new. Fails once the characters would
    // pass the 2 GiB that int32 offsets can address.
    Result<std::int32_t> index_of(std::string_view text);

    std::size_t size() const { return offsets_.size() - 1; }
    std::string_view at(std::size_t index) const {
        return {characters_.data() + offsets_[index], static_cast<std::size_t>(offsets_[index + 1] - offsets_[index])};
    }
    const std::vector<std::int32_t>& offsets() const { return offsets_; }
    const std::string& characters() const { return characters_; }

private:
    std::uint64_t hash(std::string_view text) const;
    void grow();

    std::vector<std::int32_t> offsets_{0};
    std::string characters_;
    std::vector<std::int32_t> slots_;  // -1: empty
    std::uint64_t seed_;
};

}  // namespace norvane
