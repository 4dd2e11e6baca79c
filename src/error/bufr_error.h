// The single error type of the decoder and the result type every fallible call returns.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

// Texts are built with concat()/fxy6() from error/text.h: GCC 12 has no <format>.
#include "error/text.h"

namespace norvane {

// The closed list of failures the decoder reports. `Internal` is never produced by valid
// or malformed input through a checked path; the binding raises it as PanicException.
enum class ErrorKind : std::uint8_t {
    TooShort,                  // message is too short to be BUFR
    MissingMarker,             // no "BUFR" at the start
    UnsupportedEdition,        // edition not read (a = edition, b = lowest edition read or 0)
    LengthMismatch,            // declared total length differs (a = declared, b = actual)
    SectionTruncated,          // a section runs past the buffer (a = section, b = offset)
    BadTerminator,             // section 5 is not "7777"
    SequenceNotFound,          // Table D lookup failed (a = descriptor)
    MissingReplicationFactor,  // delayed replication without factor/body (a = descriptor)
    UnsupportedReplication,    // replication with X = 0 or a short body (a = descriptor)
    ElementNotFound,           // Table B lookup failed (a = descriptor)
    Parse,                     // free text: table files and data-section conditions
    Io,                        // operating-system error (text = its description)
    Internal,                  // a broken invariant of the module itself
};

struct [[nodiscard]] BufrError {
    ErrorKind kind;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::string text;  // Parse / Io / Internal payload

    // The error's full user-facing text, e.g. "descriptor 001001 was not found in Table B".
    std::string message() const;
};

// A value or the error that prevented it. A class rather than an alias of std::expected so
// that it can be [[nodiscard]]: libstdc++ 12 does not mark std::expected, and an ignored
// error must not compile silently.
template <class T>
class [[nodiscard]] Result : public std::expected<T, BufrError> {
public:
    using std::expected<T, BufrError>::expected;
};
using Status = Result<void>;

// Builders are out of line and cold: error paths must not bloat the hot loops.
[[gnu::cold]] BufrError make_error(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0);
[[gnu::cold]] BufrError parse_error(std::string text);
[[gnu::cold]] BufrError io_error(std::string text);
[[gnu::cold]] BufrError internal_error(std::string text);
// The Parse error of a descriptor whose F is above 3: "invalid descriptor 401001".
[[gnu::cold]] BufrError invalid_descriptor(std::uint32_t code);

// "<strerror(errnum)> (os error <errnum>)", the text of an I/O error with an error number.
std::string os_error_text(int errnum);

}  // namespace norvane

// Forward an error in one line: `NV_TRY(reader.skip(n));`
#define NV_TRY(expr)                                          \
    do {                                                      \
        if (auto nv_status_ = (expr); !nv_status_) [[unlikely]] \
            return std::unexpected(std::move(nv_status_.error())); \
    } while (0)

// Bind a value or forward the error: `NV_ASSIGN(auto v, reader.read_u64(8));`
#define NV_CONCAT_INNER(a, b) a##b
#define NV_CONCAT(a, b) NV_CONCAT_INNER(a, b)
#define NV_ASSIGN(decl, expr) NV_ASSIGN_IMPL(NV_CONCAT(nv_result_, __LINE__), decl, expr)
#define NV_ASSIGN_IMPL(tmp, decl, expr)                          \
    auto tmp = (expr);                                           \
    if (!tmp) [[unlikely]] return std::unexpected(std::move(tmp.error())); \
    decl = std::move(*tmp)
