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

namespace {

// The fields an edition 2 or 3 section 1 carries end with the minute, its 17th octet.
constexpr std::uint64_t kOldSection1Fields = 17;

// Sections 2 to 5 of a message whose section 1 is `section1_length` octets long; fills
// the section lengths, section 3 and where the section 4 data lies.
Status read_sections_2_to_5(Octets b, BufrMessage& m, bool section2_present) {
    const std::uint64_t len = b.size();
    const std::uint64_t s2 = 8 + m.section1_length;
    if (section2_present) {
        NV_ASSIGN(m.section2_length, read_section_length(b, s2, 2));
        if (runs_past(s2, m.section2_length, len)) return std::unexpected(truncated(2, s2));
    }
    m.local_section_present = section2_present;

    const std::uint64_t s3 = s2 + m.section2_length;
    NV_ASSIGN(m.section3_length, read_section_length(b, s3, 3));
    if (runs_past(s3, m.section3_length, len) || m.section3_length < 7)
        return std::unexpected(truncated(3, s3));
    NV_ASSIGN(m.number_of_subsets, read_u16(b, s3 + 4));
    const std::uint8_t section3_flags = b[s3 + 6];
    m.observed_data = (section3_flags & 0x80) != 0;
    m.compressed_data = (section3_flags & 0x40) != 0;

    const std::uint64_t s4 = s3 + m.section3_length;
    NV_ASSIGN(m.section4_length, read_section_length(b, s4, 4));
    if (runs_past(s4, m.section4_length, len)) return std::unexpected(truncated(4, s4));
    const std::uint64_t s5 = s4 + m.section4_length;
    if (runs_past(s5, 4, len)) return std::unexpected(truncated(5, s5));
    if (!has_marker(b, s5, "7777")) return std::unexpected(make_error(ErrorKind::BadTerminator));
    // Edition 3 pads section 4 to an even length; the padding is data nobody reads.
    m.section4_data_offset = s4 + 4;
    m.section4_data_length = m.section4_length < 4 ? 0 : m.section4_length - 4;

    // The descriptors are read once the frame holds, so a scan that retries after a broken
    // frame never reads the same descriptor area twice. An even L3 carries one padding
    // octet after the descriptors, as edition 3 required and as messages converted from
    // edition 3 keep; peers read past it, and so do we.
    m.unexpanded_descriptors.reserve((m.section3_length - 7) / 2);
    for (std::uint64_t at = s3 + 7; at + 2 <= s3 + m.section3_length; at += 2) {
        const std::uint8_t hi = b[at];
        m.unexpanded_descriptors.push_back(static_cast<std::uint32_t>(hi >> 6) * 100000 +
                                           static_cast<std::uint32_t>(hi & 0x3F) * 1000 + b[at + 1]);
    }
    return {};
}

// Section 0 and the length of section 1, shared by every edition.
Result<BufrMessage> read_section0(Octets b, std::uint8_t lowest_edition) {
    const std::uint64_t len = b.size();
    if (len < 8) return std::unexpected(make_error(ErrorKind::TooShort));
    if (!has_marker(b, 0, "BUFR")) return std::unexpected(make_error(ErrorKind::MissingMarker));
    if (b[7] < lowest_edition || b[7] > 4)
        return std::unexpected(
            make_error(ErrorKind::UnsupportedEdition, b[7], lowest_edition == 4 ? 0 : lowest_edition));
    const std::uint64_t declared = be24(b, 4);
    if (declared != len) return std::unexpected(make_error(ErrorKind::LengthMismatch, declared, len));
    if (len <= 10) return std::unexpected(truncated(1, 8));
    BufrMessage m;
    m.edition = b[7];
    m.total_length = len;
    m.section1_length = be24(b, 8);
    if (runs_past(8, m.section1_length, len)) return std::unexpected(truncated(1, 8));
    return m;
}

Result<BufrMessage> parse_edition4(Octets b, BufrMessage m) {
    const std::uint64_t len = b.size();
    // Section 1 fields sit at fixed offsets whatever L1 says (a conforming section 1 is at
    // least 22 octets); a message too short to hold them has a truncated section 1.
    if (len < 18) return std::unexpected(truncated(1, 8));
    const std::uint8_t section1_flags = b[17];
    NV_ASSIGN(m.typical_year, read_u16(b, 23));
    NV_TRY(read_sections_2_to_5(b, m, section1_flags != 0));
    if (len < 30) return std::unexpected(truncated(1, 8));
    m.master_table_number = b[11];
    m.originating_centre = static_cast<std::uint16_t>((b[12] << 8) | b[13]);
    m.originating_subcentre = static_cast<std::uint16_t>((b[14] << 8) | b[15]);
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

// Editions 2 and 3: one-octet centre and sub-centre (edition 3) or a two-octet centre
// (edition 2), a year of century, no international sub-category and no second.
Result<BufrMessage> parse_edition2_or_3(Octets b, BufrMessage m) {
    if (m.section1_length < kOldSection1Fields) return std::unexpected(truncated(1, 8));
    NV_TRY(read_sections_2_to_5(b, m, b[15] != 0));
    m.master_table_number = b[11];
    if (m.edition == 3) {
        m.originating_subcentre = b[12];
        m.originating_centre = b[13];
    } else {
        m.originating_centre = static_cast<std::uint16_t>((b[12] << 8) | b[13]);
        m.originating_subcentre_present = false;
    }
    m.update_sequence_number = b[14];
    m.data_category = b[16];
    m.international_data_subcategory_present = false;
    m.local_data_subcategory = b[17];
    m.master_tables_version_number = b[18];
    m.local_tables_version_number = b[19];
    m.typical_year = typical_year_of_century(b[20]);
    m.typical_month = b[21];
    m.typical_day = b[22];
    m.typical_hour = b[23];
    m.typical_minute = b[24];
    m.typical_second_present = false;
    return m;
}

}  // namespace

std::uint16_t typical_year_of_century(std::uint8_t year_of_century) {
    if (year_of_century <= 68) return static_cast<std::uint16_t>(2000 + year_of_century);
    return static_cast<std::uint16_t>(1900 + year_of_century);
}

Result<BufrMessage> parse_message(Octets b) {
    NV_ASSIGN(BufrMessage m, read_section0(b, 4));
    return parse_edition4(b, std::move(m));
}

Result<BufrMessage> parse_message_any_edition(Octets b) {
    NV_ASSIGN(BufrMessage m, read_section0(b, 2));
    if (m.edition == 4) return parse_edition4(b, std::move(m));
    return parse_edition2_or_3(b, std::move(m));
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
