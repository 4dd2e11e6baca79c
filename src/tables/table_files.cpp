#include "tables/table_files.h"

#include <algorithm>

#include "fs/files.h"

namespace norvane {

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
    NV_ASSIGN(std::vector<std::string> names, fs::list_directory(dir));
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& name : names) {
        const bool matches = fs::is_valid_utf8(name)
                                 ? name.starts_with(prefix) && name.ends_with(suffix)
                                 : [&] {
                                       const std::string text = fs::lossy_utf8(name);
                                       return text.starts_with(prefix) && text.ends_with(suffix);
                                   }();
        if (matches) paths.push_back(fs::join(dir, name));
    }
    // All paths share the directory, so this is the bytewise order of the names.
    std::stable_sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace norvane
