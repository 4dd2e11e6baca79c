// Loading an ecCodes table directory: element.table (Table B), sequence.def (Table D) and
// the optional codetables/ directory (one "<code>.table" file per code or flag table).
//
// Every reader inserts into an existing TableSet with replacement, so reading a second
// directory on top of a first overrides and extends it.
#pragma once

#include <string>

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

// Table D: statements "<code>" = [ m1, m2, ... ], possibly over several lines. A file that
// cannot be read as UTF-8 text is an Io error; bad statements are Parse errors.
Status load_eccodes_sequence_def(TableSet& tables, const std::string& path);

// Every "*.table" file of `dir`, named by the element code it belongs to; lines
// "<raw> <raw again> <meaning ...>". Later files for the same code replace earlier ones.
Status load_eccodes_code_tables(TableSet& tables, const std::string& dir);

}  // namespace norvane
