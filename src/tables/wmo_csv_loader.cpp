#include "tables/wmo_csv_loader.h"

#include <vector>

#include "fs/files.h"
#include "tables/delimited_reader.h"
#include "tables/field_parsers.h"
#include "tables/table_files.h"

namespace norvane {
namespace {

constexpr DelimitedFormat kWmoCsv{.separator = ',', .header = true, .comments = false};

// The element type a WMO row implies: the unit decides, compared whole and exactly.
std::string_view element_type_of(std::string_view unit) {
    if (unit == "CCITT IA5") return "string";
    if (unit == "Code table") return "code";
    if (unit == "Flag table") return "flags";
    return "long";
}

// A matched file that cannot be read fails the load as a parse error with the OS text.
Result<std::string> read_csv_file(const std::string& path) {
    Result<std::string> data = fs::read_file(path);
    if (!data) [[unlikely]] return std::unexpected(parse_error(std::move(data.error().text)));
    return data;
}

}  // namespace

Status load_wmo_table_b_text(TableSet& tables, std::string_view text) {
    DelimitedReader reader(text, kWmoCsv);
    for (;;) {
        NV_ASSIGN(const bool more, reader.next());
        if (!more) return {};
        const auto fields = reader.fields();
        if (fields.size() < 8) continue;
        ElementDefinition element;
        NV_ASSIGN(element.code, parse_code(fields[2]));
        element.element_type = element_type_of(fields[4]);
        element.name = fields[3];
        element.unit = fields[4];
        NV_TRY(parse_coding_columns(fields, element));
        tables.insert_element(std::move(element));
    }
}

Status load_wmo_table_d_text(TableSet& tables, std::string_view text) {
    DelimitedReader reader(text, kWmoCsv);
    // Rows of one sequence are grouped within this file, in row order, even when they are
    // not adjacent; the file's groups are inserted only once it has been read.
    CodeMap<std::size_t> index_of;
    std::vector<SequenceDefinition> grouped;
    for (;;) {
        NV_ASSIGN(const bool more, reader.next());
        if (!more) break;
        const auto fields = reader.fields();
        if (fields.size() < 6) continue;
        NV_ASSIGN(const std::uint32_t code, parse_code(fields[2]));
        NV_ASSIGN(const std::uint32_t member, parse_code(fields[5]));
        const std::size_t* index = index_of.find(code);
        if (index == nullptr) {
            index = &index_of.insert_or_assign(code, grouped.size());
            grouped.push_back(SequenceDefinition{code, {}});
        }
        grouped[*index].members.push_back(member);
    }
    for (SequenceDefinition& sequence : grouped) tables.insert_sequence(std::move(sequence));
    return {};
}

Result<TableSet> from_bufr4_45(const std::string& dir) {
    TableSet tables;
    NV_ASSIGN(const std::vector<std::string> table_b, matching_files(dir, "BUFRCREX_TableB_en_", ".csv"));
    for (const std::string& path : table_b) {
        NV_ASSIGN(const std::string text, read_csv_file(path));
        NV_TRY(load_wmo_table_b_text(tables, text));
    }
    NV_ASSIGN(const std::vector<std::string> table_d, matching_files(dir, "BUFR_TableD_en_", ".csv"));
    for (const std::string& path : table_d) {
        NV_ASSIGN(const std::string text, read_csv_file(path));
        NV_TRY(load_wmo_table_d_text(tables, text));
    }
    return tables;
}

}  // namespace norvane
