#include "tables/eccodes_loader.h"

#include <algorithm>
#include <vector>

#include "fs/files.h"
#include "tables/delimited_reader.h"
#include "tables/field_parsers.h"
#include "tables/table_files.h"
#include "tables/unicode_space.h"

namespace norvane {
namespace {

// The meaning of a code-table line: its tokens from the third on, joined by single blanks.
// `rest` starts at the third token and is trimmed.
std::string meaning_text(std::string_view rest) {
    bool plain = true;  // only single ASCII blanks between tokens
    for (std::size_t i = 0; i < rest.size() && plain; ++i) {
        const auto c = static_cast<unsigned char>(rest[i]);
        if (c == ' ') plain = i + 1 < rest.size() && space_length_at(rest, i + 1) == 0;
        else if ((c >= 0x09 && c <= 0x0D) || c == 0xC2 || (c >= 0xE1 && c <= 0xE3)) plain = false;
    }
    if (plain) return std::string(rest);
    std::string text;
    append_collapsed(text, rest);
    return text;
}

Status process_statement(TableSet& tables, std::string_view statement) {
    const std::size_t equals = statement.find('=');
    if (equals == std::string_view::npos) return {};
    const std::string_view body = statement.substr(equals + 1);
    const std::size_t open = body.find('[');
    const std::size_t close = body.find(']');
    // The brackets are checked before the key: a ']' in the key ends the statement early,
    // and such a statement is reported whole. A closing bracket before the opening one is
    // as malformed as a missing bracket.
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) [[unlikely]]
        return std::unexpected(parse_error(std::string(statement)));
    NV_ASSIGN(const std::uint32_t code, parse_code(statement.substr(0, equals)));
    SequenceDefinition sequence;
    sequence.code = code;
    std::string_view members = body.substr(open + 1, close - open - 1);
    sequence.members.reserve(static_cast<std::size_t>(std::count(members.begin(), members.end(), ',')) + 1);
    for (;;) {
        const std::size_t comma = members.find(',');
        const std::string_view piece = trim_space(members.substr(0, comma));
        if (!piece.empty()) {
            NV_ASSIGN(const std::uint32_t member, parse_code(piece));
            sequence.members.push_back(member);
        }
        if (comma == std::string_view::npos) break;
        members.remove_prefix(comma + 1);
    }
    tables.insert_sequence(std::move(sequence));
    return {};
}

bool is_skipped_line(std::string_view trimmed) { return trimmed.empty() || trimmed.front() == '#'; }

}  // namespace

Result<TableSet> from_eccodes_dir(const std::string& dir) {
    TableSet tables;
    NV_TRY(load_eccodes_dir_into(tables, dir));
    return tables;
}

Status load_eccodes_dir_into(TableSet& tables, const std::string& dir) {
    NV_TRY(load_eccodes_element_table(tables, fs::join(dir, "element.table")));
    NV_TRY(load_eccodes_sequence_def(tables, fs::join(dir, "sequence.def")));
    // codetables is optional: a failed status query means absent, whatever its cause.
    const std::string code_tables = fs::join(dir, "codetables");
    if (fs::exists(code_tables)) NV_TRY(load_eccodes_code_tables(tables, code_tables));
    return {};
}

Status load_eccodes_element_table(TableSet& tables, const std::string& path) {
    Result<std::string> data = fs::read_file(path);
    // Table B files report even their open failures as parse errors.
    if (!data) [[unlikely]] return std::unexpected(parse_error(std::move(data.error().text)));
    return load_eccodes_element_text(tables, *data);
}

Status load_eccodes_element_text(TableSet& tables, std::string_view text) {
    DelimitedReader reader(text, DelimitedFormat{.separator = '|', .header = false, .comments = true});
    for (;;) {
        NV_ASSIGN(const bool more, reader.next());
        if (!more) return {};
        const auto fields = reader.fields();
        if (fields.size() < 8) continue;
        ElementDefinition element;
        NV_ASSIGN(element.code, parse_code(fields[0]));
        element.abbreviation = fields[1];
        element.element_type = fields[2];
        element.name = fields[3];
        element.unit = fields[4];
        NV_TRY(parse_coding_columns(fields, element));
        tables.insert_element(std::move(element));
    }
}

Status load_eccodes_sequence_def(TableSet& tables, const std::string& path) {
    NV_ASSIGN(const std::string text, fs::read_text_file(path));
    return load_eccodes_sequence_text(tables, text);
}

Status load_eccodes_sequence_text(TableSet& tables, std::string_view text) {
    std::string pending;  // a statement spread over several lines, joined by blanks
    Status status;
    for_each_line(text, [&](std::string_view line) {
        if (!status) return;
        line = trim_space(line);
        if (is_skipped_line(line)) return;
        // Only the new line is searched: the pending text holds no ']' yet, so an
        // unterminated statement costs time linear in its length.
        const bool closes = line.find(']') != std::string_view::npos;
        if (pending.empty() && closes) {
            status = process_statement(tables, line);  // the usual one-line statement, uncopied
            return;
        }
        if (!pending.empty()) pending += ' ';
        pending.append(line);
        if (!closes) return;
        status = process_statement(tables, pending);
        pending.clear();
    });
    // A statement still waiting for its ']' at the end of the text is dropped.
    return status;
}

Status load_eccodes_code_tables(TableSet& tables, const std::string& dir) {
    NV_ASSIGN(const std::vector<std::string> paths, matching_files(dir, "", ".table"));
    for (const std::string& path : paths) {
        const std::string stem = fs::file_stem(path);
        if (!fs::is_valid_utf8(stem)) continue;
        NV_ASSIGN(const std::uint32_t code, parse_code(stem));
        NV_ASSIGN(const std::string text, fs::read_text_file(path));
        NV_ASSIGN(CodeTable table, parse_eccodes_code_table(text));
        tables.insert_code_table(code, std::move(table));
    }
    return {};
}

Result<CodeTable> parse_eccodes_code_table(std::string_view text) {
    // No room is reserved up front: the line count says nothing about the entries (a file
    // of blank lines has none), and the map grows geometrically with what is inserted.
    CodeTable table;
    Status status;
    for_each_line(text, [&](std::string_view line) {
        if (!status) return;
        line = trim_space(line);
        if (is_skipped_line(line)) return;
        SpaceTokenizer tokens(line);
        const std::string_view key = tokens.next();
        if (tokens.next().empty()) return;  // fewer than two tokens
        const std::string_view rest = tokens.rest();
        if (rest.empty()) return;  // no meaning
        Result<std::uint64_t> raw = parse_code_table_key(key);
        if (!raw) [[unlikely]] {
            status = std::unexpected(std::move(raw.error()));
            return;
        }
        table.insert_or_assign(*raw, meaning_text(rest));
    });
    NV_TRY(status);
    return table;
}

}  // namespace norvane
