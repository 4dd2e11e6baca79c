#include "data/element_reader.h"

#include <algorithm>

#include "error/text.h"

namespace norvane {
namespace {

[[gnu::cold, gnu::noinline]] BufrError new_reference_too_wide(unsigned width, std::uint32_t code) {
    return parse_error(concat("new reference value of ", width, " bits for ", fxy6(code),
                              " does not fit in 64 bits"));
}

}  // namespace

bool is_code_or_flag_table(const ElementDefinition& element) {
    // `word` is lower case; the unit's letters are compared without case, and nothing is copied.
    const auto holds = [&](std::string_view word) {
        const auto same = [](char a, char b) { return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b; };
        return std::search(element.unit.begin(), element.unit.end(), word.begin(), word.end(), same) !=
               element.unit.end();
    };
    return holds("code table") || holds("flag table");
}

std::optional<std::size_t> decode_ia5_text(std::span<char> field) {
    bool all_ff = true;
    for (char& c : field) {
        const auto octet = static_cast<unsigned char>(c);
        all_ff &= octet == 0xFF;
        if (octet > 0x7F) c = '?';
    }
    if (all_ff) return std::nullopt;  // also the empty field
    std::size_t end = field.size();
    while (end > 0) {
        const char c = field[end - 1];
        if (c != ' ' && (c < '\t' || c > '\r')) break;
        --end;
    }
    return end;
}

Result<std::int64_t> read_new_reference(BitReader& reader, unsigned width, std::uint32_t code) {
    if (width == 0) return std::int64_t{0};
    NV_ASSIGN(const std::uint64_t negative, reader.read_u64(1));
    // The magnitude must fit in 63 bits: any wider part has to be zero.
    unsigned magnitude_bits = width - 1;
    while (magnitude_bits > 63) {
        const unsigned high = std::min(magnitude_bits - 63, 64u);
        NV_ASSIGN(const std::uint64_t bits, reader.read_u64(static_cast<std::uint16_t>(high)));
        if (bits != 0) [[unlikely]] return std::unexpected(new_reference_too_wide(width, code));
        magnitude_bits -= high;
    }
    NV_ASSIGN(const std::uint64_t magnitude, reader.read_u64(static_cast<std::uint16_t>(magnitude_bits)));
    const auto value = static_cast<std::int64_t>(magnitude);
    return negative != 0 ? -value : value;
}

std::int64_t difference_reference(const ElementDefinition& element) {
    const std::uint64_t power = element.width >= 64 ? 0 : std::uint64_t{1} << element.width;
    return static_cast<std::int64_t>(std::uint64_t{0} - power);
}

std::uint16_t difference_width(const ElementDefinition& element) {
    return element.width == 0xFFFF ? element.width : static_cast<std::uint16_t>(element.width + 1);
}

std::uint64_t saturating_u64(double value) {
    if (!(value > 0.0)) return 0;  // negative, zero and NaN
    if (value >= 18446744073709551616.0) return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(value);
}

}  // namespace norvane
