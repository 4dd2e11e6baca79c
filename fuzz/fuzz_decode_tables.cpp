// Property: with tables read from the input itself, decoding ends in records or a clear
// error, never an internal one, and a decoded message satisfies check_decode. Table text
// from a file is as untrusted as the message, and small tables let the fuzzer reach
// element widths, scales, references, units and sequence shapes that no real table has.
//
// Input: up to four parts separated by the line "%%": ecCodes element.table text,
// sequence.def text, one code table (its first line the element code, then the table's
// lines), and the message, always the last part; missing tables are empty.
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "tables/eccodes_loader.h"
#include "tables/field_parsers.h"

namespace {

using namespace norvane;
using fuzz::succeeded;

constexpr std::string_view kSeparator = "\n%%\n";

std::vector<std::string_view> parts_of(std::string_view input) {
    std::vector<std::string_view> parts;
    while (parts.size() < 3) {
        const std::size_t at = input.find(kSeparator);
        if (at == std::string_view::npos) break;
        parts.push_back(input.substr(0, at));
        input.remove_prefix(at + kSeparator.size());
    }
    parts.push_back(input);
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string_view> parts = parts_of({reinterpret_cast<const char*>(data), size});
    TableSet tables;
    if (parts.size() > 1 && !succeeded(load_eccodes_element_text(tables, parts[0]))) return 0;
    if (parts.size() > 2 && !succeeded(load_eccodes_sequence_text(tables, parts[1]))) return 0;
    if (parts.size() > 3) {
        std::string_view text = parts[2];
        const std::size_t line_end = text.find('\n');
        const Result<std::uint32_t> code = parse_code(text.substr(0, line_end));
        if (!succeeded(code)) return 0;
        text.remove_prefix(line_end == std::string_view::npos ? text.size() : line_end + 1);
        Result<CodeTable> table = parse_eccodes_code_table(text);
        if (!succeeded(table)) return 0;
        tables.insert_code_table(*code, std::move(*table));
    }
    const std::string_view message = parts.back();
    const auto* octets = reinterpret_cast<const std::uint8_t*>(message.data());
    if (const auto first = fuzz::first_message({octets, message.size()})) fuzz::check_decode(*first, tables);
    return 0;
}
