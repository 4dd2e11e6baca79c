// Choosing and loading the tables a message asks for from an ecCodes definitions root R:
// the WMO directory R/bufr/tables/<master>/wmo/<version> (possibly an alias file), then,
// when the message declares local tables, R/bufr/tables/<master>/local/<n>/<centre>/<sub>
// on top of it.
#pragma once

#include <string>

#include "error/bufr_error.h"
#include "message/message.h"
#include "tables/table_set.h"

namespace norvane {

// Aliases followed before resolve_eccodes_table_dir gives up: ecCodes itself chains at
// most a few, so a longer chain is a cycle.
inline constexpr int kMaxTableAliases = 32;

// The directory that `path` stands for. A regular file in its place is an alias: its
// trimmed content names a sibling entry (no '/' or '\\'), which is resolved in turn. Fails
// with "ecCodes table directory does not exist: <path>", "invalid ecCodes table alias
// <path> -> \"<alias>\"", an Io error for an unreadable alias file, or a Parse error once
// more than kMaxTableAliases aliases have been followed.
Result<std::string> resolve_eccodes_table_dir(std::string path);

// The WMO tables of the message's master table and version, with the local tables of its
// centre and subcentre merged on top when its local tables version is not 0. A missing
// local directory, or any missing entry in it, is skipped.
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message);

}  // namespace norvane
