"""Reading every message of a file, a buffer or a binary stream: ``norvane.read()``.

Messages are found by their "BUFR" marker and declared length, as every BUFR reader finds
them; octets around them (bulletin envelopes, padding) are not messages and are passed over,
and listed in ``MessageReader.ignored``. Editions 2, 3 and 4 are read into the same fields.

What counts as a problem, and what ``errors`` does with it:

- a bad message (a marker whose message does not parse) and a message cut short by the end of
  the source: with ``errors="raise"`` a ``ReadError`` at the first one, with ``errors="skip"``
  a ``SkippedMessage`` in ``MessageReader.skipped`` and on to the next marker;
- a source without any "BUFR" marker (empty included): the same, as index 0 at offset 0, so a
  source that is not BUFR never reads as an empty file.

After a bad or cut message the scan goes on just past its marker (past the whole message when
its declared end holds "7777"), so a sound message inside its declared extent is still found; a broken marker there before any sound message is part of
the message already reported and is not reported again (junk full of markers makes one report).
``index`` counts the messages and the reported problems in source order.

A message that frames well but whose data does not decode (``Message.decode()``) raises
``ReadError`` from ``decode()`` in either mode: finding messages never decodes them.
"""

from __future__ import annotations

import datetime
import mmap
import os
import stat
from collections.abc import Callable, Iterator
from typing import Any, Literal, NamedTuple

from norvane import _reader
from norvane._norvane import DecodedValue, TableSet
from norvane.table_cache import TableCache, TablesWarning

__all__ = ["read", "Message", "MessageReader", "SkippedMessage", "IgnoredOctets", "ReadError", "TablesWarning"]

CHUNK = 1 << 20  # octets read at a time from a stream that cannot be mapped
_END, _BAD, _IGNORED = 0, 2, 4  # what the scanner notes (3: a message cut short)


class ReadError(ValueError):
    """A message could not be read or decoded: ``index`` and ``offset`` say which one."""

    def __init__(self, text: str, index: int, offset: int) -> None:
        super().__init__(text)
        self.index = index
        self.offset = offset


class SkippedMessage(NamedTuple):
    """A message passed over with ``errors="skip"``: its position and the exact error text."""

    index: int
    offset: int
    error: str


class IgnoredOctets(NamedTuple):
    """A run of octets outside every message (an envelope, padding or junk)."""

    offset: int
    length: int


# The fields of _reader's header tuple, in order; a leading underscore marks those that only
# feed other attributes.
_HEADER = (
    "edition", "master_table", "centre", "subcentre", "update_sequence", "data_category",
    "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
    "_year", "_month", "_day", "_hour", "_minute", "_second", "number_of_subsets", "observed", "compressed",
    "_descriptors", "local_section",
)


class Message(_reader.MessageBase):
    """One message of a ``read()``: its position, its section 0, 1 and 3 fields, and ``decode()``.

    ``index`` counts the markers of the source, bad ones included, from 0; ``offset`` is the
    message's octet offset in the source and ``length`` its declared total length.

    Fields a message's edition does not carry are ``None``: ``subcentre`` in edition 2,
    ``international_subcategory`` before edition 4. Editions 2 and 3 give the year of century,
    read as 2000 to 2068 for 0 to 68 and 1969 to 1999 for 69 to 99 (100 and above count from
    1900), and no second (``typical_datetime`` has second 0).

    ``decode()`` returns the message's values, as ``decode_values_with_tables`` gives them for
    its tables, and raises ``ReadError`` (index, offset and the decoder's text) when the data
    section does not decode or the tables cannot be loaded. Messages are made by ``read()``
    only.
    """

    __slots__ = ()

    edition: int
    master_table: int
    centre: int
    subcentre: int | None
    update_sequence: int
    data_category: int
    international_subcategory: int | None
    local_subcategory: int
    master_table_version: int
    local_table_version: int
    number_of_subsets: int
    observed: bool
    compressed: bool
    local_section: bool

    @property
    def descriptors(self) -> list[int]:
        """The unexpanded descriptors of section 3, as FXY codes."""
        return list(self._header()[19])

    @property
    def typical_datetime(self) -> datetime.datetime | None:
        """The typical date and time of section 1, or None when its fields form no valid date."""
        year, month, day, hour, minute, second = self._header()[10:16]
        try:
            return datetime.datetime(year, month, day, hour, minute, second or 0)
        except ValueError:
            return None

    @property
    def table_source(self) -> str:
        """Where this message's tables come from (loads them on first use of its table key)."""
        return self._tables()[1]

    def to_arrow(self) -> Any:
        """The message's rows of the long table (``norvane.read_table``) as a ``pyarrow.Table``."""
        from norvane.table import message_table

        return message_table(self).to_arrow()

    def to_numpy(self) -> Any:
        """The message's values as a (subsets x positions) float64 array, NaN where missing, with
        the descriptors and keys of the positions: a ``norvane.table.MessageMatrix``. Made for
        compressed messages; raises ValueError when the subsets differ in their descriptors."""
        from norvane.table import message_matrix

        return message_matrix(self)

    def _tables(self) -> tuple[TableSet, str]:
        try:
            return self._cache.tables_for(self._key, self._where)
        except ValueError as error:
            raise self._read_error(error) from None

    def _read_error(self, error: BaseException) -> ReadError:
        return ReadError(f"{self._where()}: {error}", self.index, self.offset)

    def _where(self) -> str:
        return f"message {self.index} at offset {self.offset}"

    def __repr__(self) -> str:
        when = self.typical_datetime
        return (f"Message(index={self.index}, offset={self.offset}, length={self.length}, "
                f"edition={self.edition}, centre={self.centre}, category={self.data_category}, "
                f"subsets={self.number_of_subsets}, time={when.isoformat() if when else None})")


def _header_field(position: int) -> property:
    return property(lambda self: self._header()[position], doc=f"Section field {_HEADER[position]}.")


for _position, _name in enumerate(_HEADER):
    if not _name.startswith("_"):
        setattr(Message, _name, _header_field(_position))


class _Reports:
    """Where a scan's problems and passed-over octets go (the scanner's ``note``)."""

    __slots__ = ("skipped", "ignored", "raises")

    def __init__(self, raises: bool) -> None:
        self.skipped: list[SkippedMessage] = []
        self.ignored: list[IgnoredOctets] = []
        self.raises = raises

    def note(self, kind: int, index: int, offset: int, length: int, payload: Any) -> None:
        if kind == _IGNORED:
            self.ignored.append(IgnoredOctets(offset, length))
            return
        if kind == _END:
            if index:
                return
            text = f"no BUFR message in {offset} octets" if offset else "the source is empty"
        else:
            if kind == _BAD:
                problem = payload
            elif length:
                problem = f"message is cut short: it declares {length} octets and {payload} remain"
            else:
                problem = f"message is cut short: {payload} octets remain"
            text = f"message {index} at offset {offset}: {problem}"
        if self.raises:
            raise ReadError(text, index, offset if kind != _END else 0)
        self.skipped.append(SkippedMessage(index, offset if kind != _END else 0, text))


class MessageReader:
    """The messages of one source, in order: an iterator of ``Message`` (one pass).

    ``skipped`` (filled while iterating with ``errors="skip"``) lists the bad messages passed
    over; ``ignored`` the runs of octets outside any message; ``table_loads`` counts the
    table sets loaded so far. ``close()`` (or a ``with`` block) releases a file that
    ``read()`` opened itself.
    """

    def __init__(self, source: _Source, cache: TableCache, errors: str) -> None:
        self._reports = _Reports(errors == "raise")
        self._cache = cache
        self._source = source
        fill = source.fill if isinstance(source, _StreamSource) else None
        self._scanner = _reader.Scanner(source.buffer, Message, cache, self._reports.note, fill)

    @property
    def skipped(self) -> list[SkippedMessage]:
        """The bad messages passed over so far (``errors="skip"``)."""
        return self._reports.skipped

    @property
    def ignored(self) -> list[IgnoredOctets]:
        """The runs of octets outside any message seen so far."""
        return self._reports.ignored

    @property
    def table_loads(self) -> int:
        """The number of table sets this read has loaded so far."""
        return self._cache.loads

    def __iter__(self) -> Iterator[Message]:
        return self._scanner  # a for loop then runs in compiled code, message after message

    def __next__(self) -> Message:
        return next(self._scanner)

    def close(self) -> None:
        """Ends the iteration and releases what ``read()`` opened; messages already read can no
        longer be decoded if their octets lived in a mapped file."""
        self._scanner.close()
        self._source.close()

    def __enter__(self) -> MessageReader:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class _Source:
    """The octets of a source held whole: a buffer and what to close at the end."""

    def __init__(self, buffer: Any, close: Callable[[], None] | None = None) -> None:
        self.buffer = buffer
        self._close = close

    def close(self) -> None:
        if self._close is not None:
            self._close()
            self._close = None


class _StreamSource(_Source):
    """A window over a stream that cannot be mapped, read a chunk at a time."""

    def __init__(self, stream: Any, close: Callable[[], None] | None = None) -> None:
        super().__init__(bytearray(), close)
        self._stream = stream

    def fill(self, keep_from: int, declared: int) -> tuple[int, bool]:
        """Drops the octets before `keep_from` once there are many, then reads at least a chunk,
        or enough for a message of `declared` octets at `keep_from`. Returns how many octets
        were dropped, and False once the stream has ended."""
        buffer = self.buffer
        dropped = 0
        if keep_from >= CHUNK:  # deleting from the front of a bytearray only moves its start
            del buffer[:keep_from]
            dropped, keep_from = keep_from, 0
        data = self._stream.read(max(CHUNK, keep_from + max(declared, 8) - len(buffer)))
        if data:
            buffer += data
        return dropped, bool(data)


def _open(source: Any) -> _Source:
    if isinstance(source, (str, os.PathLike)):
        file = open(source, "rb")
        try:
            mapped = _map(file, 0)
        except BaseException:
            file.close()
            raise
        if mapped is None:
            return _StreamSource(file, file.close)  # a pipe or a device: read as it comes
        file.close()  # the mapping holds a descriptor of its own
        return mapped
    if isinstance(source, (bytes, bytearray)):
        return _Source(source)
    if hasattr(source, "read") and not isinstance(source, mmap.mmap):
        try:
            mapped = _map(source, source.tell()) if source.seekable() else None
        except (AttributeError, OSError, ValueError):  # no descriptor (BytesIO), or one mmap refuses
            mapped = None
        return mapped or _StreamSource(source)
    try:
        view = memoryview(source)
    except TypeError:
        kind = type(source).__name__
        raise TypeError(f"read() takes a path, a bytes-like object or a binary file, not {kind}") from None
    with view:
        if not view.c_contiguous:
            raise ValueError("read() takes a contiguous buffer")
    return _Source(source)


def _map(file: Any, start: int) -> _Source | None:
    """The file from `start` on, mapped; an empty rest is an empty buffer (mmap refuses those);
    None for a file that is not a regular one."""
    status = os.fstat(file.fileno())
    if not stat.S_ISREG(status.st_mode):
        return None
    if status.st_size <= start:
        return _Source(b"")
    mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    if not start:
        return _Source(mapped, mapped.close)
    view = memoryview(mapped)[start:]

    def close() -> None:
        view.release()
        mapped.close()

    return _Source(view, close)


def read(source: str | os.PathLike[str] | Any, *, tables: TableSet | None = None,
         definitions: str | os.PathLike[str] | None = None,
         errors: Literal["raise", "skip"] = "raise") -> MessageReader:
    """Every BUFR message of ``source``, of editions 2 to 4, as ``Message`` objects.

    ``source``: a path (mapped, never read whole into memory), a bytes-like object (bytes,
    bytearray, memoryview, mmap; borrowed, not copied) or a binary file object (mapped from its
    current position when it is a seekable file, else read a chunk at a time); offsets count
    from the start of what is read.

    Tables: ``tables`` serves every message; otherwise each message's tables are chosen from
    its section 1 and loaded once per key for the whole read, from the ecCodes definitions
    root ``definitions`` or the one ``find_definitions_root()`` finds, else from the WMO tables
    bundled in the package. A message that asks for local tables which are not there is
    decoded with the master tables, after one ``TablesWarning`` per key.

    ``errors``: ``"raise"`` raises ``ReadError`` at the first bad or cut message (or for a
    source without any); ``"skip"`` records it in ``MessageReader.skipped`` and goes on.
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    cache = TableCache(tables, definitions)
    return MessageReader(_open(source), cache, errors)
