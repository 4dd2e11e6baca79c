#include "error/bufr_error.h"

#include <cstdio>
#include <cstring>
#include <format>

namespace norvane {

std::string format_fxy(std::uint32_t code) { return std::format("{:06}", code); }

std::string os_error_text(int errnum) {
    return std::format("{} (os error {})", std::strerror(errnum), errnum);
}

BufrError make_error(ErrorKind kind, std::uint64_t a, std::uint64_t b) {
    return BufrError{kind, a, b, {}};
}
BufrError parse_error(std::string text) { return BufrError{ErrorKind::Parse, 0, 0, std::move(text)}; }
BufrError io_error(std::string text) { return BufrError{ErrorKind::Io, 0, 0, std::move(text)}; }
BufrError internal_error(std::string text) {
    return BufrError{ErrorKind::Internal, 0, 0, std::move(text)};
}

std::string BufrError::message() const {
    const auto code = static_cast<std::uint32_t>(a);
    switch (kind) {
        case ErrorKind::TooShort: return "message is too short to be BUFR";
        case ErrorKind::MissingMarker: return "missing BUFR marker";
        case ErrorKind::UnsupportedEdition:
            return std::format("unsupported BUFR edition {}; only edition 4 is implemented", a);
        case ErrorKind::LengthMismatch:
            return std::format("declared length {} does not match buffer length {}", a, b);
        case ErrorKind::SectionTruncated:
            return std::format("section {} at offset {} is truncated", a, b);
        case ErrorKind::BadTerminator: return "section 5 terminator is not 7777";
        case ErrorKind::OddDescriptorArea: return "section 3 descriptor area has odd byte count";
        case ErrorKind::SequenceNotFound:
            return std::format("descriptor {:06} was not found in Table D", code);
        case ErrorKind::MissingReplicationFactor:
            return std::format(
                "delayed replication descriptor {:06} is missing its replication factor or "
                "replicated descriptors",
                code);
        case ErrorKind::UnsupportedReplication:
            return std::format("unsupported replication descriptor {:06}", code);
        case ErrorKind::ElementNotFound:
            return std::format("descriptor {:06} was not found in Table B", code);
        case ErrorKind::Parse: return "csv/table parse error: " + text;
        case ErrorKind::Io: return "io error: " + text;
        case ErrorKind::Internal: return text;
    }
    return text;
}

}  // namespace norvane
