// Unicode whitespace over UTF-8 text: the trimming and token splitting that the table
// file readers apply to lines, keys and code-table entries.
//
// Whitespace is the Unicode White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. Invalid UTF-8 is
// never whitespace.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace norvane {

// Byte length of the whitespace character starting at text[i], or 0 when there is none.
inline std::size_t space_length_at(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) ? 1 : 0;
    const std::size_t left = text.size() - i;
    if (b0 == 0xC2) {
        if (left < 2) return 0;
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (b0 < 0xE1 || b0 > 0xE3 || left < 3) return 0;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    const auto b2 = static_cast<unsigned char>(text[i + 2]);
    if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;                    // U+1680
    if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;                    // U+3000
    if (b1 == 0x80) return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
    return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;                                     // U+205F
}

// Byte length of the whitespace character that ends text[0, end), or 0 when there is none.
inline std::size_t space_length_before(std::string_view text, std::size_t end) {
    for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
        const auto b = static_cast<unsigned char>(text[end - n]);
        if (n == 1 && b < 0x80) return space_length_at(text, end - 1);
        if ((b & 0xC0) != 0x80) return space_length_at(text.substr(0, end), end - n) == n ? n : 0;
    }
    return 0;
}

// `text` without leading and trailing whitespace.
inline std::string_view trim_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t n = space_length_at(text, begin);
        if (n == 0) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t n = space_length_before(text, end);
        if (n == 0) break;
        end -= n;
    }
    return text.substr(begin, end - begin);
}

// Splits `text` at runs of whitespace: each call returns the next non-empty token, or an
// empty view when none is left.
class SpaceTokenizer {
public:
    explicit SpaceTokenizer(std::string_view text) : text_(text) {}

    std::string_view next() {
        skip_space();
        const std::size_t begin = pos_;
        while (pos_ < text_.size() && space_length_at(text_, pos_) == 0) ++pos_;
        return text_.substr(begin, pos_ - begin);
    }
    // The untouched text from the start of the next token on.
    std::string_view rest() {
        skip_space();
        return text_.substr(pos_);
    }

private:
    void skip_space() {
        while (pos_ < text_.size()) {
            const std::size_t n = space_length_at(text_, pos_);
            if (n == 0) break;
            pos_ += n;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The tokens of `text` joined by single blanks, appended to `out`.
inline void append_collapsed(std::string& out, std::string_view text) {
    SpaceTokenizer tokens(text);
    bool first = true;
    for (std::string_view token = tokens.next(); !token.empty(); token = tokens.next()) {
        if (!first) out += ' ';
        out.append(token);
        first = false;
    }
}

}  // namespace norvane
