// Listing the table files of a directory, shared by the ecCodes and WMO CSV loaders.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error/bufr_error.h"

namespace norvane {

// Full paths of the entries of `dir` whose names start with `prefix` and end with `suffix`
// (byte-wise, case-sensitive; names are compared as text with invalid UTF-8 replaced by
// U+FFFD), sorted bytewise. The kind of entry is not examined. An Io error when the
// directory cannot be listed.
Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix);

// Calls `line_fn(line)` for each line of `text`, split at LF; a CR before the LF is kept
// (the readers trim every line anyway).
template <class LineFn>
void for_each_line(std::string_view text, LineFn&& line_fn) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            line_fn(text);
            return;
        }
        line_fn(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
}

}  // namespace norvane
