// Choosing and loading the tables a message asks for from an ecCodes definitions root R:
// the WMO directory R/bufr/tables/<master>/wmo/<version> (possibly an alias file), then,
// when the message declares local tables, R/bufr/tables/<master>/local/<n>/<centre>/<sub>
// on top of it.
#pragma once

#include <cstdint>
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

// What section 1 says about the tables a message needs; messages with equal keys decode
// with the same tables.
struct TableKey {
    std::uint8_t master_table = 0;
    std::uint8_t master_version = 0;
    std::uint8_t local_version = 0;
    std::uint16_t centre = 0;
    std::uint16_t subcentre = 0;
};
TableKey table_key(const BufrMessage& message);

// Where the tables of a key were found: the WMO directory (aliases resolved) and the local
// directory, empty when none was merged.
struct TableSource {
    std::string master_dir;
    std::string local_dir;
};

// The WMO tables of the key's master table and version, with the local tables of its
// centre and subcentre merged on top when its local tables version is not 0. A missing
// local directory, or any missing entry in it, is skipped. `source`, when given, is told
// which directories were read.
Result<TableSet> from_eccodes_definitions(const std::string& root, const TableKey& key,
                                          TableSource* source = nullptr);
// The same for the key of `message`.
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message);

}  // namespace norvane
