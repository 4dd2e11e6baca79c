// Property: splitting and parsing any octets ends in messages or a clear error, never an
// internal one. The split finds each message at a "BUFR" marker, in order, without overlap,
// inside the input; a parsed message is edition 4, exactly as long as its octets, holds its
// sections inside itself in order, and has one descriptor per two octets of section 3
// after its 7-octet header.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"

namespace {

using namespace norvane;
using fuzz::succeeded;

void check_parsed(Octets octets) {
    const Result<BufrMessage> parsed = parse_message(octets);
    if (!succeeded(parsed)) return;
    const BufrMessage& m = *parsed;
    FUZZ_CHECK(m.edition == 4 && m.total_length == octets.size());
    FUZZ_CHECK(m.section3_length >= 7 && m.unexpanded_descriptors.size() == (m.section3_length - 7) / 2);
    FUZZ_CHECK(m.local_section_present || m.section2_length == 0);
    const std::uint64_t s4 = 8 + m.section1_length + m.section2_length + m.section3_length;
    FUZZ_CHECK(s4 + m.section4_length + 4 <= m.total_length);
    FUZZ_CHECK(m.section4_data_offset == s4 + 4);
    FUZZ_CHECK(m.section4_data_offset + m.section4_data_length <= m.total_length);
    for (const std::uint32_t code : m.unexpanded_descriptors) FUZZ_CHECK(fxy_f(code) <= 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Octets input(data, size);
    check_parsed(input);
    const Result<std::vector<MessageSpan>> spans = split_messages(input);
    if (!succeeded(spans)) return 0;
    std::uint64_t end = 0;
    for (const MessageSpan& span : *spans) {
        FUZZ_CHECK(span.offset >= end && span.length > 0 && span.length <= size - span.offset);
        FUZZ_CHECK(std::memcmp(data + span.offset, "BUFR", 4) == 0);
        end = span.offset + span.length;
        check_parsed(input.subspan(span.offset, span.length));
    }
    return 0;
}
