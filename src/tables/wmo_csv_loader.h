// Loading the WMO BUFR4 CSV tables: every "BUFRCREX_TableB_en_*.csv" (Table B, one
// element per row) and "BUFR_TableD_en_*.csv" (Table D, one sequence member per row) of a
// directory, in name order. These files carry no code tables.
#pragma once

#include <string>
#include <string_view>

#include "error/bufr_error.h"
#include "tables/table_set.h"

namespace norvane {

// A new TableSet from the CSV files of `dir`; a directory without them gives an empty set.
// Table B columns by position: 2 code, 3 name, 4 unit, 5 scale, 6 reference, 7 width;
// Table D columns: 2 sequence code, 5 member code. A file's sequences replace, whole, those
// of files earlier in name order.
Result<TableSet> from_bufr4_45(const std::string& dir);

// One Table B or Table D file's text (any octets), into an existing set; from_bufr4_45
// reads each file and hands it to these.
Status load_wmo_table_b_text(TableSet& tables, std::string_view text);
Status load_wmo_table_d_text(TableSet& tables, std::string_view text);

}  // namespace norvane
