// Loading an ecCodes table directory: element.table (Table B), sequence.def (Table D) and
// the optional codetables/ directory (one "<code>.table" file per code or flag table).
//
// Every reader inserts into an existing TableSet with replacement, so reading a second
// directory on top of a first overrides and extends it. Each file reader is a thin wrapper
// over a reader of text in memory; those take any octets and work in time linear in them.
#pragma once

#include <string>
#include <string_view>

#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// A new TableSet from `dir`: element.table and sequence.def are required, codetables is
// read when the path exists.
Result<TableSet> from_eccodes_dir(const std::string& dir);

// The three steps of from_eccodes_dir, into an existing set.
Status load_eccodes_dir_into(TableSet& tables, const std::string& dir);

// Table B: "|"-separated records, '#' comments, columns code|abbreviation|type|name|unit|
// scale|reference|width[|...]; records with fewer than 8 fields are skipped. Every failure,
// including a file that cannot be read, is a Parse error.
Status load_eccodes_element_table(TableSet& tables, const std::string& path);
Status load_eccodes_element_text(TableSet& tables, std::string_view text);

// Table D: statements "<code>" = [ m1, m2, ... ], possibly over several lines. A file that
// cannot be read as UTF-8 text is an Io error; bad statements are Parse errors. A
// statement still open at the end of the text is dropped.
Status load_eccodes_sequence_def(TableSet& tables, const std::string& path);
Status load_eccodes_sequence_text(TableSet& tables, std::string_view text);

// Every "*.table" file of `dir`, named by the element code it belongs to; lines
// "<raw> <raw again> <meaning ...>". Later files for the same code replace earlier ones.
// A file that is not UTF-8 text is an Io error.
Status load_eccodes_code_tables(TableSet& tables, const std::string& dir);
// One code-table file's lines; blank lines, '#' comments and lines of fewer than three
// tokens are skipped, a key that is no number is a Parse error.
Result<CodeTable> parse_eccodes_code_table(std::string_view text);

}  // namespace norvane
