// The key of an element in tables and frames: its ecCodes abbreviation (airTemperature), or,
// for tables without one (WMO's own), a camelCase key made from its name.
#pragma once

#include <string>
#include <string_view>

#include "data/compressed_columns.h"
#include "data/uncompressed_records.h"
#include "tables/table_set.h"

namespace norvane {

// "WMO block number" gives wmoBlockNumber: the ASCII letter and digit runs of the name, the
// first in lower case, the others capitalised; a name without any gives element<FXY>. The
// bundled tables are generated with this same rule.
std::string camel_case_key(std::string_view name, std::uint32_t code);

std::string element_key(const ElementDefinition& element);

// The key of a value without an element: "operator" for a marker, "associatedField",
// "characterData" for 2 05 YYY text (the records' names).
std::string_view constant_key(const FlatRecord& record);
std::string_view constant_key(const Column& column);

}  // namespace norvane
