#include "tables/definitions_root.h"

#include "error/quoted.h"
#include "error/text.h"
#include "fs/files.h"
#include "tables/eccodes_loader.h"
#include "tables/unicode_space.h"

namespace norvane {
namespace {

[[gnu::cold]] BufrError missing_dir(const std::string& path) {
    return parse_error("ecCodes table directory does not exist: " + fs::lossy_utf8(path));
}

std::string join_all(std::string path, std::initializer_list<std::string> names) {
    for (const std::string& name : names) path = fs::join(path, name);
    return path;
}

}  // namespace

Result<std::string> resolve_eccodes_table_dir(std::string path) {
    for (int aliases = 0;; ++aliases) {
        if (fs::is_directory(path)) return path;
        if (!fs::is_regular_file(path)) return std::unexpected(missing_dir(path));
        if (aliases == kMaxTableAliases) [[unlikely]]
            return std::unexpected(parse_error(concat("ecCodes table alias chain longer than ", kMaxTableAliases,
                                                       " links at ", fs::lossy_utf8(path))));
        NV_ASSIGN(const std::string content, fs::read_text_file(path));
        const std::string_view alias = trim_space(content);
        if (alias.empty() || alias.find_first_of("/\\") != std::string_view::npos) [[unlikely]]
            return std::unexpected(
                parse_error("invalid ecCodes table alias " + fs::lossy_utf8(path) + " -> " + quoted(alias)));
        std::string parent;
        if (!fs::parent(path, parent)) [[unlikely]] return std::unexpected(missing_dir(path));
        path = fs::join(parent, std::string(alias));
    }
}

TableKey table_key(const BufrMessage& message) {
    return {message.master_table_number, message.master_tables_version_number, message.local_tables_version_number,
            message.originating_centre, message.originating_subcentre};
}

Result<TableSet> from_eccodes_definitions(const std::string& root, const TableKey& key, TableSource* source) {
    const std::string tables_dir = join_all(root, {"bufr", "tables", std::to_string(key.master_table)});
    NV_ASSIGN(std::string wmo_dir,
              resolve_eccodes_table_dir(join_all(tables_dir, {"wmo", std::to_string(key.master_version)})));
    TableSet tables;
    NV_TRY(load_eccodes_dir_into(tables, wmo_dir));
    if (source != nullptr) *source = {std::move(wmo_dir), {}};
    if (key.local_version == 0) return tables;

    // Version 19 names its local directories "19-<local>"; every other version uses the
    // local version alone.
    const std::string local_name = key.master_version == 19 ? "19-" + std::to_string(key.local_version)
                                                            : std::to_string(key.local_version);
    std::string local_dir = join_all(
        tables_dir, {"local", local_name, std::to_string(key.centre), std::to_string(key.subcentre)});
    if (!fs::exists(local_dir)) return tables;
    // Each local entry is optional; a failed status query skips it.
    if (const std::string path = fs::join(local_dir, "element.table"); fs::exists(path))
        NV_TRY(load_eccodes_element_table(tables, path));
    if (const std::string path = fs::join(local_dir, "sequence.def"); fs::exists(path))
        NV_TRY(load_eccodes_sequence_def(tables, path));
    if (const std::string path = fs::join(local_dir, "codetables"); fs::exists(path))
        NV_TRY(load_eccodes_code_tables(tables, path));
    if (source != nullptr) source->local_dir = std::move(local_dir);
    return tables;
}

Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message) {
    return from_eccodes_definitions(root, table_key(message));
}

}  // namespace norvane
