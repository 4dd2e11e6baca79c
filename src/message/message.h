// BUFR edition 4 framing: sections 0 to 5 and the fields a decoder needs.
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
};

// Validates sections 0 to 5 of a buffer that holds exactly one message.
Result<BufrMessage> parse_message(Octets buffer);

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
