"""Walking the messages of a file or buffer as byte strings."""

from __future__ import annotations

from collections.abc import Iterator

_MARKER = b"BUFR"


def iter_message_bytes(data: bytes) -> Iterator[bytes]:
    """Yield each BUFR message of ``data`` as its own bytes, skipping octets between them.

    Messages are found as ``parse_all_bytes`` finds them: a "BUFR" marker and the total
    length declared after it. A marker whose declared length runs past the end (or is 0)
    ends the walk; ``parse_all_bytes`` reports that case as an error.
    """
    view = memoryview(data)
    pos = 0
    while True:
        pos = data.find(_MARKER, pos)
        if pos < 0 or pos + 8 > len(data):
            return
        total = int.from_bytes(view[pos + 4 : pos + 7], "big")
        if total == 0 or pos + total > len(data):
            return
        yield bytes(view[pos : pos + total])
        pos += total
