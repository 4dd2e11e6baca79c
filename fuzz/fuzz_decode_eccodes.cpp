// Property: decoding the first message of any input with real tables ends in records or a
// clear error, never an internal one, and a decoded message satisfies check_decode. The
// tables are ecCodes' WMO version 39 and, for a message that declares local tables, the
// same with ECMWF's local tables of centre 98 on top; both are loaded once per process from
// NORVANE_FUZZ_WMO_TABLES and NORVANE_FUZZ_LOCAL_TABLES (defaults below).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "tables/eccodes_loader.h"

namespace {

using namespace norvane;

constexpr const char* kWmoDefault = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/39";
constexpr const char* kLocalDefault = "/usr/share/eccodes/definitions/bufr/tables/0/local/1/98/0";

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

[[noreturn]] void no_tables(const std::string& dir, const BufrError& error) {
    std::fprintf(stderr, "cannot load the tables of %s: %s\n", dir.c_str(), error.message().c_str());
    // Exit code 77 marks the replay as skipped on a machine without ecCodes' definitions;
    // CI has them, and there a missing table is a failure.
    std::exit(std::getenv("CI") != nullptr ? 1 : 77);
}

struct Tables {
    TableSet wmo;
    TableSet with_local;
};

const Tables& tables() {
    static const Tables loaded = [] {
        const std::string wmo_dir = setting("NORVANE_FUZZ_WMO_TABLES", kWmoDefault);
        const std::string local_dir = setting("NORVANE_FUZZ_LOCAL_TABLES", kLocalDefault);
        Result<TableSet> wmo = from_eccodes_dir(wmo_dir);
        if (!wmo) no_tables(wmo_dir, wmo.error());
        Tables both{*wmo, *wmo};
        if (const Status local = load_eccodes_dir_into(both.with_local, local_dir); !local)
            no_tables(local_dir, local.error());
        return both;
    }();
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tables();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<fuzz::FirstMessage> first = fuzz::first_message({data, size});
    if (!first) return 0;
    const Tables& t = tables();
    fuzz::check_decode(*first, first->message.local_tables_version_number != 0 ? t.with_local : t.wmo);
    return 0;
}
