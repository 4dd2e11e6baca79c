#include "error/quoted.h"

#include <cstdint>
#include "error/text.h"

namespace norvane {
namespace {

// Decodes one UTF-8 scalar at `i`; invalid or truncated sequences yield U+FFFD and one byte.
char32_t next_scalar(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) extra = 1, cp = b0 & 0x1F, min = 0x80;
    else if ((b0 & 0xF0) == 0xE0) extra = 2, cp = b0 & 0x0F, min = 0x800;
    else if ((b0 & 0xF8) == 0xF0) extra = 3, cp = b0 & 0x07, min = 0x10000;
    else {
        ++i;
        return 0xFFFD;
    }
    if (i + extra >= s.size()) {  // truncated sequence
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += extra + 1;
    return cp;
}

// Control characters, format characters that render as nothing, and combining marks
// (which would attach to the quote) are written as escapes.
bool needs_escape(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    if (c == 0xAD || c == 0x34F || (c >= 0x300 && c <= 0x36F)) return true;
    if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E)) return true;
    if ((c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF0 && c <= 0xFFFB)) return true;
    if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return true;  // private use
    if (c >= 0xE0000 && c <= 0xE0FFF) return true;                    // tags, variation selectors
    if ((c & 0xFFFE) == 0xFFFE) return true;                          // noncharacters
    return false;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = next_scalar(text, i);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (needs_escape(c)) {
                    char hex[8];
                    const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16).ptr;
                    out += "\\u{";
                    out.append(hex, end);
                    out += '}';
                }
                else append_utf8(out, c);
        }
    }
    out += '"';
    return out;
}

}  // namespace norvane
