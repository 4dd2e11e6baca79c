// Property: every table text reader ends in tables or a clear error for any octets, in
// time and memory linear in the text. Reading the same text twice into one set changes
// nothing (a definition read again replaces itself); a reader yields no more definitions
// than the text has lines (no more sequences than ']'); a code table's room follows its
// entries, not its lines; and every record the delimited reader returns has as many fields
// as the first record.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "tables/delimited_reader.h"
#include "tables/eccodes_loader.h"
#include "tables/field_parsers.h"
#include "tables/wmo_csv_loader.h"

namespace {

using namespace norvane;
using fuzz::succeeded;

struct Counts {
    std::size_t elements;
    std::size_t sequences;
    bool operator==(const Counts&) const = default;
};

Counts counts_of(const TableSet& tables) { return {tables.element_count(), tables.sequence_count()}; }

// Loads `text` into a fresh set, then again into the same set; the counts after the first load.
template <class Load>
std::optional<Counts> load_twice(Load load, std::string_view text) {
    TableSet tables;
    if (!succeeded(load(tables, text))) return std::nullopt;
    const Counts once = counts_of(tables);
    FUZZ_CHECK(succeeded(load(tables, text)));
    FUZZ_CHECK(counts_of(tables) == once);
    return once;
}

void check_records(std::string_view text, DelimitedFormat format) {
    DelimitedReader reader(text, format);
    std::optional<std::size_t> first;
    for (;;) {
        const Result<bool> more = reader.next();
        if (!succeeded(more) || !*more) return;
        if (!first) first = reader.fields().size();
        FUZZ_CHECK(reader.fields().size() == *first);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Records end at LF, CR or CRLF, so no reader finds more records than this.
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n') +
                                                std::count(text.begin(), text.end(), '\r')) + 1;

    if (const auto c = load_twice(load_eccodes_element_text, text)) FUZZ_CHECK(c->elements <= lines);
    if (const auto c = load_twice(load_eccodes_sequence_text, text))
        FUZZ_CHECK(c->sequences <= static_cast<std::size_t>(std::count(text.begin(), text.end(), ']')));
    if (const auto c = load_twice(load_wmo_table_b_text, text)) FUZZ_CHECK(c->elements <= lines);
    if (const auto c = load_twice(load_wmo_table_d_text, text)) FUZZ_CHECK(c->sequences <= lines);

    if (const Result<CodeTable> table = parse_eccodes_code_table(text); succeeded(table)) {
        FUZZ_CHECK(table->size() <= lines);
        FUZZ_CHECK(table->capacity() <= std::max<std::size_t>(64, 4 * table->size()));
    }

    check_records(text, DelimitedFormat{.separator = '|', .header = false, .comments = true});
    check_records(text, DelimitedFormat{.separator = ',', .header = true, .comments = false});

    // A code that parses is read back from its plain decimal form.
    if (const Result<std::uint32_t> code = parse_code(text); succeeded(code))
        FUZZ_CHECK(*parse_code(std::to_string(*code)) == *code);
    return 0;
}
