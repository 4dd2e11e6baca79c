// The quoted form of a text used in representations and error texts: "a\"b\n\u{7f}".
#pragma once

#include <string>
#include <string_view>

namespace norvane {

// `text` is UTF-8; invalid sequences are written as U+FFFD.
std::string quoted(std::string_view text);

}  // namespace norvane
