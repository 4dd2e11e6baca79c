// Field parsers shared by every table loader: one decimal grammar for descriptor codes,
// the numeric columns of Table B and the keys of code-table lines.
//
// Grammar: an optional '+' (or, for signed targets, '-'), then one or more ASCII digits;
// leading zeros are ignored. A failure is a Parse error
//   "<prefix> <input in quoted form>: <reason>"
// where the reason is "cannot parse integer from empty string", "invalid digit found in
// string", "number too large to fit in target type" or "number too small to fit in target
// type", whichever problem is met first from the left.
#pragma once

#include <cstdint>
#include <string_view>

#include "error/bufr_error.h"

namespace norvane {

// A descriptor code such as 001001 (= 1001). Surrounding whitespace is trimmed, then every
// leading and trailing '"'; the error shows the text as given. Prefix "bad descriptor code".
Result<std::uint32_t> parse_code(std::string_view text);

// The numeric columns of Table B, read as given (no trimming). Prefixes "bad i32",
// "bad i64", "bad u16".
Result<std::int32_t> parse_i32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
Result<std::uint16_t> parse_u16(std::string_view text);

// The raw value at the start of a code-table line (one whitespace-free token). Prefix
// "bad code table key".
Result<std::uint64_t> parse_code_table_key(std::string_view token);

// The scale, reference and width columns, which both Table B layouts keep at positions 5
// to 7, read in that order into `element`. `fields` holds at least 8 fields.
template <class Fields, class Element>
Status parse_coding_columns(const Fields& fields, Element& element) {
    NV_ASSIGN(element.scale, parse_i32(fields[5]));
    NV_ASSIGN(element.reference, parse_i64(fields[6]));
    NV_ASSIGN(element.width, parse_u16(fields[7]));
    return {};
}

}  // namespace norvane
