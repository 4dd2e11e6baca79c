// Walking a buffer that holds messages among other octets: envelopes of a bulletin, padding,
// junk, and messages that are broken or cut short. Each step finds the next "BUFR" marker and
// says what lies there, so a reader can report a bad message and go on.
#pragma once

#include <cstdint>

#include "error/bufr_error.h"
#include "message/message.h"

namespace norvane {

struct ScanStep {
    enum class Kind : std::uint8_t {
        End,      // no marker at or after the start
        Message,  // a message of edition 2 to 4 whose sections 0 to 5 hold
        Bad,      // a marker whose declared extent fits, but the message does not parse
        Cut,      // a marker whose declared length runs past the end of the buffer
    };
    Kind kind = Kind::End;
    std::uint64_t offset = 0;  // where the marker is; End: the buffer size
    // The declared total length; Cut: 0 when fewer than 8 octets follow the marker.
    std::uint64_t length = 0;
    // Where the next step starts: past a message, or past a broken frame whose declared end
    // holds "7777"; otherwise just past the marker, so a message inside the declared extent
    // of a broken or cut one is still found.
    std::uint64_t next = 0;
    BufrMessage message;  // Kind::Message
    BufrError error{ErrorKind::TooShort, 0, 0, {}};  // Kind::Bad
};

// One step from `from` (at most the buffer size). Every step moves `next` past `from`, and a
// marker's descriptors are read only for a sound frame, which the next step skips: scanning
// a whole buffer is linear in its size.
ScanStep scan_next(Octets buffer, std::uint64_t from);

}  // namespace norvane
