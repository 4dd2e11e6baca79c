#include "error/bufr_error.h"

#include <cstring>

#include "error/text.h"

namespace norvane {

std::string os_error_text(int errnum) {
    return concat(std::strerror(errnum), " (os error ", errnum, ")");
}

BufrError make_error(ErrorKind kind, std::uint64_t a, std::uint64_t b) {
    return BufrError{kind, a, b, {}};
}
BufrError parse_error(std::string text) { return BufrError{ErrorKind::Parse, 0, 0, std::move(text)}; }
BufrError io_error(std::string text) { return BufrError{ErrorKind::Io, 0, 0, std::move(text)}; }
BufrError invalid_descriptor(std::uint32_t code) { return parse_error(concat("invalid descriptor ", fxy6(code))); }
BufrError internal_error(std::string text) {
    return BufrError{ErrorKind::Internal, 0, 0, std::move(text)};
}

std::string BufrError::message() const {
    const auto code = static_cast<std::uint32_t>(a);
    switch (kind) {
        case ErrorKind::TooShort: return "message is too short to be BUFR";
        case ErrorKind::MissingMarker: return "missing BUFR marker";
        case ErrorKind::UnsupportedEdition:  // b: the lowest edition the caller reads, 0 for edition 4 alone
            if (b != 0) return concat("unsupported BUFR edition ", a, "; editions ", b, " to 4 are implemented");
            return concat("unsupported BUFR edition ", a, "; only edition 4 is implemented");
        case ErrorKind::LengthMismatch:
            return concat("declared length ", a, " does not match buffer length ", b);
        case ErrorKind::SectionTruncated:
            return concat("section ", a, " at offset ", b, " is truncated");
        case ErrorKind::BadTerminator: return "section 5 terminator is not 7777";
        case ErrorKind::SequenceNotFound:
            return concat("descriptor ", fxy6(code), " was not found in Table D");
        case ErrorKind::MissingReplicationFactor:
            return concat("delayed replication descriptor ", fxy6(code),
                          " is missing its replication factor or replicated descriptors");
        case ErrorKind::UnsupportedReplication:
            return concat("unsupported replication descriptor ", fxy6(code));
        case ErrorKind::ElementNotFound:
            return concat("descriptor ", fxy6(code), " was not found in Table B");
        case ErrorKind::Parse: return "csv/table parse error: " + text;
        case ErrorKind::Io: return "io error: " + text;
        case ErrorKind::Internal: return text;
    }
    return text;
}

}  // namespace norvane
