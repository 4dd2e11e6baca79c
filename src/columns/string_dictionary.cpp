#include "columns/string_dictionary.h"

#include <cstring>
#include <limits>

#include "tables/code_map.h"

namespace norvane {

StringDictionary::StringDictionary() : slots_(64, -1), seed_(code_map_multiplier()) {}

std::uint64_t StringDictionary::hash(std::string_view text) const {
    std::uint64_t h = seed_ ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ word) * seed_;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);  // an empty view may hold nullptr
    h = (h ^ tail) * seed_;
    return h ^ (h >> 32);
}

Result<std::int32_t> StringDictionary::index_of(std::string_view text) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(text) & mask;
    for (; slots_[i] >= 0; i = (i + 1) & mask) {
        if (at(static_cast<std::size_t>(slots_[i])) == text) return slots_[i];
    }
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - characters_.size())
        return std::unexpected(parse_error("the strings of one table column exceed 2 GiB"));
    const auto index = static_cast<std::int32_t>(size());
    characters_.append(text);
    offsets_.push_back(static_cast<std::int32_t>(characters_.size()));
    slots_[i] = index;
    if (size() * 2 > slots_.size()) grow();
    return index;
}

void StringDictionary::grow() {
    slots_.assign(slots_.size() * 2, -1);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = 0; index < size(); ++index) {
        std::size_t i = hash(at(index)) & mask;
        while (slots_[i] >= 0) i = (i + 1) & mask;
        slots_[i] = static_cast<std::int32_t>(index);
    }
}

}  // namespace norvane
