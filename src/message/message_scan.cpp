#include "message/message_scan.h"

#include <cstring>

namespace norvane {

ScanStep scan_next(Octets b, std::uint64_t from) {
    ScanStep step;
    const std::uint64_t len = b.size();
    const void* found = from < len ? memmem(b.data() + from, len - from, "BUFR", 4) : nullptr;
    if (found == nullptr) {
        step.offset = step.next = len;
        return step;
    }
    const std::uint64_t at = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - b.data());
    step.offset = at;
    step.next = at + 4;
    if (len - at < 8) {
        step.kind = ScanStep::Kind::Cut;
        return step;
    }
    step.length = (std::uint64_t{b[at + 4]} << 16) | (std::uint64_t{b[at + 5]} << 8) | b[at + 6];
    if (step.length > len - at) {
        step.kind = ScanStep::Kind::Cut;
        return step;
    }
    auto message = parse_message_any_edition(b.subspan(at, step.length));
    if (message) {
        step.kind = ScanStep::Kind::Message;
        step.message = std::move(*message);
        step.next = at + step.length;
        return step;
    }
    step.kind = ScanStep::Kind::Bad;
    step.error = std::move(message.error());
    if (step.length >= 12 && std::memcmp(b.data() + at + step.length - 4, "7777", 4) == 0)
        step.next = at + step.length;
    return step;
}

}  // namespace norvane
