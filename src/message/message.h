// BUFR framing: sections 0 to 5 and the fields a decoder needs, for editions 4, 3 and 2.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/bufr_error.h"

namespace norvane {

using Octets = std::span<const std::uint8_t>;

struct BufrMessage {
    std::uint8_t edition = 4;
    std::uint64_t total_length = 0;
    std::uint8_t master_table_number = 0;
    std::uint16_t originating_centre = 0;
    std::uint16_t originating_subcentre = 0;
    std::uint8_t update_sequence_number = 0;
    bool local_section_present = false;
    std::uint8_t data_category = 0;
    std::uint8_t international_data_subcategory = 0;
    std::uint8_t local_data_subcategory = 0;
    std::uint8_t master_tables_version_number = 0;
    std::uint8_t local_tables_version_number = 0;
    std::uint16_t typical_year = 0;
    std::uint8_t typical_month = 0;
    std::uint8_t typical_day = 0;
    std::uint8_t typical_hour = 0;
    std::uint8_t typical_minute = 0;
    std::uint8_t typical_second = 0;
    std::uint64_t section1_length = 0;
    std::uint64_t section2_length = 0;
    std::uint64_t section3_length = 0;
    std::uint64_t section4_length = 0;
    std::uint16_t number_of_subsets = 0;
    bool observed_data = false;
    bool compressed_data = false;
    std::vector<std::uint32_t> unexpanded_descriptors;
    std::uint64_t section4_data_offset = 0;
    std::uint64_t section4_data_length = 0;
    // Fields that section 1 of an older edition does not carry: edition 2 has no
    // sub-centre, editions 2 and 3 no international sub-category and no second. An
    // absent field reads 0.
    bool originating_subcentre_present = true;
    bool international_data_subcategory_present = true;
    bool typical_second_present = true;
};

// Validates sections 0 to 5 of a buffer that holds exactly one edition 4 message; any
// other edition is UnsupportedEdition.
Result<BufrMessage> parse_message(Octets buffer);

// As parse_message for editions 2, 3 and 4 into the same fields: the edition 2 and 3
// section 1 layout, its year of century made a full year (typical_year_of_century), and
// the absent fields marked. Other editions are UnsupportedEdition.
Result<BufrMessage> parse_message_any_edition(Octets buffer);

// The full year of an edition 2 or 3 "year of century" octet: 0 to 68 are 2000 to 2068,
// 69 to 99 are 1969 to 1999 (the POSIX two-digit year window), and 100 and above count
// from 1900, as encoders that wrote a C tm_year (100 for 2000, 112 for 2012) did.
std::uint16_t typical_year_of_century(std::uint8_t year_of_century);

// The 24-bit big-endian length at `offset`; SectionTruncated(section, offset) past the end.
Result<std::uint64_t> read_section_length(Octets buffer, std::uint64_t offset, std::uint8_t section);
// The 16-bit big-endian value at `offset`; SectionTruncated(0, offset) past the end.
Result<std::uint16_t> read_u16(Octets buffer, std::uint64_t offset);

// Where one message lies in a larger buffer.
struct MessageSpan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Finds "BUFR" markers and takes each message's extent from its declared total length.
Result<std::vector<MessageSpan>> split_messages(Octets buffer);

}  // namespace norvane
