#include "message/message.h"

#include <cstring>
#include "error/text.h"

namespace norvane {
namespace {

std::uint64_t be24(Octets b, std::uint64_t at) {
    return (std::uint64_t{b[at]} << 16) | (std::uint64_t{b[at + 1]} << 8) | b[at + 2];
}

bool has_marker(Octets b, std::uint64_t at, const char (&marker)[5]) {
    return std::memcmp(b.data() + at, marker, 4) == 0;
}

// a + b > limit, without overflow.
bool runs_past(std::uint64_t a, std::uint64_t b, std::uint64_t limit) { return a > limit || b > limit - a; }

BufrError truncated(std::uint8_t section, std::uint64_t offset) {
    return make_error(ErrorKind::SectionTruncated, section, offset);
}

}  // namespace

Result<std::uint64_t> read_section_length(Octets buffer, std::uint64_t offset, std::uint8_t section) {
    if (runs_past(offset, 3, buffer.size())) return std::unexpected(truncated(section, offset));
    return be24(buffer, offset);
}

Result<std::uint16_t> read_u16(Octets buffer, std::uint64_t offset) {
    if (runs_past(offset, 2, buffer.size())) return std::unexpected(truncated(0, offset));
    return static_cast<std::uint16_t>((buffer[offset] << 8) | buffer[offset + 1]);
}

Result<BufrMessage> parse_message(Octets b) {
    const std::uint64_t len = b.size();
    if (len < 8) return std::unexpected(make_error(ErrorKind::TooShort));
    if (!has_marker(b, 0, "BUFR")) return std::unexpected(make_error(ErrorKind::MissingMarker));
    if (b[7] != 4) return std::unexpected(make_error(ErrorKind::UnsupportedEdition, b[7]));
    const std::uint64_t declared = be24(b, 4);
    if (declared != len) return std::unexpected(make_error(ErrorKind::LengthMismatch, declared, len));
    if (len <= 10) return std::unexpected(truncated(1, 8));

    BufrMessage m;
    m.total_length = len;
    m.section1_length = be24(b, 8);
    if (runs_past(8, m.section1_length, len)) return std::unexpected(truncated(1, 8));
    // Section 1 fields sit at fixed offsets whatever L1 says; a conforming section 1 is at
    // least 22 octets, so a buffer too short for them means L1 lied and the guard below fires.
    if (len < 18)
        return std::unexpected(internal_error(concat(
            "section 1 octet at offset 17 lies beyond the buffer of length ", len)));
    const std::uint8_t section1_flags = b[17];
    NV_ASSIGN(m.typical_year, read_u16(b, 23));

    const std::uint64_t s2 = 8 + m.section1_length;
    if (section1_flags != 0) {
        NV_ASSIGN(m.section2_length, read_section_length(b, s2, 2));
        if (runs_past(s2, m.section2_length, len)) return std::unexpected(truncated(2, s2));
    }
    m.local_section_present = section1_flags != 0;

    const std::uint64_t s3 = s2 + m.section2_length;
    NV_ASSIGN(m.section3_length, read_section_length(b, s3, 3));
    if (runs_past(s3, m.section3_length, len) || m.section3_length < 7)
        return std::unexpected(truncated(3, s3));
    NV_ASSIGN(m.number_of_subsets, read_u16(b, s3 + 4));
    // An even L3 carries one padding octet after the descriptors, as edition 3 required and
    // as messages converted from edition 3 keep; peers read past it, and so do we.
    const std::uint8_t section3_flags = b[s3 + 6];
    m.observed_data = (section3_flags & 0x80) != 0;
    m.compressed_data = (section3_flags & 0x40) != 0;
    m.unexpanded_descriptors.reserve((m.section3_length - 7) / 2);
    for (std::uint64_t at = s3 + 7; at + 2 <= s3 + m.section3_length; at += 2) {
        const std::uint8_t hi = b[at];
        m.unexpanded_descriptors.push_back(static_cast<std::uint32_t>(hi >> 6) * 100000 +
                                           static_cast<std::uint32_t>(hi & 0x3F) * 1000 + b[at + 1]);
    }

    const std::uint64_t s4 = s3 + m.section3_length;
    NV_ASSIGN(m.section4_length, read_section_length(b, s4, 4));
    if (runs_past(s4, m.section4_length, len)) return std::unexpected(truncated(4, s4));
    const std::uint64_t s5 = s4 + m.section4_length;
    if (runs_past(s5, 4, len)) return std::unexpected(truncated(5, s5));
    if (!has_marker(b, s5, "7777")) return std::unexpected(make_error(ErrorKind::BadTerminator));
    m.section4_data_offset = s4 + 4;
    m.section4_data_length = m.section4_length < 4 ? 0 : m.section4_length - 4;

    m.master_table_number = b[11];
    NV_ASSIGN(m.originating_centre, read_u16(b, 12));
    NV_ASSIGN(m.originating_subcentre, read_u16(b, 14));
    if (len < 30)
        return std::unexpected(internal_error(concat(
            "section 1 octet at offset ", len, " lies beyond the buffer of length ", len)));
    m.update_sequence_number = b[16];
    m.data_category = b[18];
    m.international_data_subcategory = b[19];
    m.local_data_subcategory = b[20];
    m.master_tables_version_number = b[21];
    m.local_tables_version_number = b[22];
    m.typical_month = b[25];
    m.typical_day = b[26];
    m.typical_hour = b[27];
    m.typical_minute = b[28];
    m.typical_second = b[29];
    return m;
}

Result<std::vector<MessageSpan>> split_messages(Octets b) {
    std::vector<MessageSpan> spans;
    const std::uint64_t len = b.size();
    std::uint64_t pos = 0;
    while (len - pos >= 4) {
        const void* found = memmem(b.data() + pos, len - pos, "BUFR", 4);
        if (found == nullptr) break;
        pos = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - b.data());
        if (runs_past(pos, 8, len)) return std::unexpected(make_error(ErrorKind::TooShort));
        const std::uint64_t total = be24(b, pos + 4);
        // A declared length of 0 cannot even hold section 0; taking it would never advance.
        if (total == 0 || runs_past(pos, total, len)) return std::unexpected(truncated(0, pos));
        spans.push_back({pos, total});
        pos += total;
    }
    return spans;
}

}  // namespace norvane
