"""Whole sources as one table: ``norvane.read_table()``, the long table of every decoded value.

The table is built in compiled code, on several threads if asked, with the interpreter lock
released while messages decode; it is exported through the Arrow C stream interface, so
``pyarrow.table(t)``, ``polars.DataFrame(t)`` or DuckDB read its columns without a copy.
pyarrow, pandas and polars are optional: each is imported only by the method that needs it.

Columns, one row per value that ``Message.decode()`` gives, in the same order:

=============  ==========================  ================================================
``message``    int32                       the message's ``index`` in the source
``subset``     int32                       the subset, from 0
``descriptor`` int32                       FXY as a decimal number (12101 for 012101)
``key``        dictionary<int32, string>   the ecCodes abbreviation (``airTemperature``),
                                           else a camelCase key made from the element name;
                                           "operator", "associatedField", "characterData"
                                           for the values that are not elements
``value``      float64                     the scaled value; null when missing or text
``raw``        uint64                      the bits as read; null for text
``text``       dictionary<int32, string>   the text of a text element; null otherwise
``meaning``    dictionary<int32, string>   the code or flag table meaning of ``raw``
``unit``       dictionary<int32, string>   the element's unit; null for non-elements
=============  ==========================  ================================================
"""

from __future__ import annotations

import datetime
import importlib
import itertools
import os
from collections.abc import Iterable, Iterator
from typing import Any, Literal, NamedTuple

from norvane import _reader
from norvane._norvane import TableSet
from norvane.reader import Message, SkippedMessage, read

__all__ = ["read_table", "Table", "MessageMatrix", "COLUMNS", "HEADER_FIELDS"]

COLUMNS = ("message", "subset", "descriptor", "key", "value", "raw", "text", "meaning", "unit")
HEADER_FIELDS = ("message", "offset", "edition", "master_table", "centre", "subcentre", "data_category",
                 "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
                 "typical_datetime", "number_of_subsets", "observed", "compressed", "table_source")
# Messages handed to the compiled decoder at a time: large enough for the threads to share,
# small enough that the message objects of a long file never pile up.
WINDOW = 4096
# The layouts decode about this many octets of messages per thread at a time (at most WINDOW
# messages) and keep only what they make of each window, so their memory does not grow with
# the source; the compiled decoder cuts a window into runs of 64 KB, two per thread here.
LAYOUT_WINDOW_OCTETS = 1 << 17


class MessageMatrix(NamedTuple):
    """A message's values as a (subsets x positions) float64 array, NaN where missing or text,
    with the descriptor and key of each position."""

    values: Any  # numpy.ndarray
    descriptors: list[int]
    keys: list[str]


class Table:
    """The long table of a read: one row per decoded value (see the module's docstring).

    ``skipped`` lists the messages left out with ``errors="skip"``: framing problems and
    messages whose data did not decode, in source order. ``headers()`` gives the section 0, 1
    and 3 fields of the decoded messages.
    """

    __slots__ = ("_data", "_table_sources", "skipped")

    def __init__(self, data: Any, skipped: list[SkippedMessage], table_sources: dict[int, str]) -> None:
        self._data = data
        self._table_sources = table_sources
        self.skipped = skipped

    @property
    def num_rows(self) -> int:
        return self._data.num_rows

    def __len__(self) -> int:
        return self._data.num_rows

    @property
    def column_names(self) -> list[str]:
        return list(COLUMNS)

    @property
    def nbytes(self) -> int:
        """The octets held by the table's columns and dictionaries."""
        return self._data.nbytes

    def __arrow_c_schema__(self) -> Any:
        return self._data.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._data.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """A ``pyarrow.Table`` sharing the columns (needs pyarrow)."""
        return _optional("pyarrow", "arrow").table(self)

    def to_pandas(self) -> Any:
        """A ``pandas.DataFrame`` (needs pandas and pyarrow); string columns are categorical."""
        _optional("pandas", "pandas")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """A ``polars.DataFrame`` (needs polars)."""
        return _optional("polars", "polars").DataFrame(self)

    def headers(self) -> dict[str, list[Any]]:
        """The header fields of the decoded messages, in table order, by name (``HEADER_FIELDS``)."""
        rows = self._data.headers()
        if not rows:
            return {name: [] for name in HEADER_FIELDS}
        (index, offset, key, edition, master_table, centre, subcentre, _update, category, international, local,
         master_version, local_version, year, month, day, hour, minute, second, subsets, observed,
         compressed) = zip(*(row[:22] for row in rows))
        times: dict[tuple[int, ...], datetime.datetime | None] = {}  # a file's messages share a few
        when = []
        for moment in zip(year, month, day, hour, minute, second):
            if moment not in times:
                times[moment] = _typical_datetime(*moment)
            when.append(times[moment])
        sources = [self._table_sources.get(k) for k in key]
        return dict(zip(HEADER_FIELDS, map(list, (
            index, offset, edition, master_table, centre, subcentre, category, international, local, master_version,
            local_version, when, subsets, observed, compressed, sources))))

    def __repr__(self) -> str:
        return f"norvane.Table({self.num_rows} rows, {len(self.skipped)} skipped)"


class TableStream:
    """A source's long table decoded a window of messages at a time, for the layouts: each
    window's ``Table`` is made when it is reached, so what the layouts hold is their result plus
    one window. With ``keys``, a window holds only the rows of those keys and of the coordinates
    (elements of classes 01 to 09), all that observation rows read. ``skipped`` is complete once
    ``windows()`` is exhausted; it can be read once."""

    def __init__(self, source: Any, tables: TableSet | None, definitions: Any, errors: str, threads: int,
                 keys: list[str] | None = None) -> None:
        _check_threads(threads)
        self._arguments = (source, tables, definitions, errors, threads)
        self._keys = keys
        self.skipped: list[SkippedMessage] = []

    def windows(self) -> Iterator[Table]:
        if self._arguments is None:
            raise RuntimeError("a TableStream is read once")
        source, tables, definitions, errors, threads = self._arguments
        self._arguments = None
        with read(source, tables=tables, definitions=definitions, errors=errors) as reader:
            # rows of a few keys are a small share of all: a window of them may span more messages
            octets = LAYOUT_WINDOW_OCTETS * threads * (1 if self._keys is None else 4)
            for window in _windows(reader, octets):
                builder = _reader.RowBuilder(self._keys)
                failed = _add(builder, window, threads, errors)
                self.skipped.extend(failed)
                yield Table(builder.finish(), failed, _table_sources(reader))
            self.skipped.extend(reader.skipped)
        self.skipped.sort(key=lambda s: s.index)


def _typical_datetime(year: int, month: int, day: int, hour: int, minute: int,
                      second: int | None) -> datetime.datetime | None:
    try:
        return datetime.datetime(year, month, day, hour, minute, second or 0)
    except ValueError:
        return None


def windows(table: Table | TableStream) -> Iterable[Table]:
    """What the layouts read: a stream's windows one after another, or a whole table at once."""
    return table.windows() if isinstance(table, TableStream) else (table,)


def read_table(source: str | os.PathLike[str] | Any, *, tables: TableSet | None = None,
               definitions: str | os.PathLike[str] | None = None,
               errors: Literal["raise", "skip"] = "raise", threads: int = 1, layout: str = "long",
               columns: Any = None, filters: Any = None, required_columns: Any = None) -> Any:
    """Every value of every message of ``source`` as one long ``Table``, or observation rows.

    ``source``, ``tables``, ``definitions`` and ``errors`` are those of ``norvane.read()``; with
    ``errors="skip"`` a message whose data does not decode is left out too, and listed in
    ``Table.skipped``. ``threads``: messages decode on that many threads; the table is the same
    for every number.

    ``layout="flat"`` gives one row per subset (``norvane.flat``); ``columns``, ``filters`` and
    ``required_columns`` give observation rows (``norvane.rows``): both as pandas DataFrames,
    with the skipped messages in ``frame.attrs["skipped"]``. Both decode the source a window of
    messages at a time, so their memory does not grow with it, and observation rows decode
    only the values of their keys and of the coordinates.
    """
    from norvane.layouts import arrange, is_long

    if is_long(layout, columns, filters, required_columns):
        return _long_table(source, tables, definitions, errors, threads)
    keys = None
    if layout == "long":  # observation rows read only their keys and the coordinates
        from norvane.rows import walked_keys

        keys = walked_keys(columns, filters, required_columns)
    return arrange(TableStream(source, tables, definitions, errors, threads, keys), layout, columns, filters,
                   required_columns)


def _long_table(source: Any, tables: TableSet | None, definitions: Any, errors: str, threads: int) -> Table:
    _check_threads(threads)
    builder = _reader.RowBuilder(None)
    skipped: list[SkippedMessage] = []
    with read(source, tables=tables, definitions=definitions, errors=errors) as reader:
        for window in _windows(reader):
            skipped.extend(_add(builder, window, threads, errors))
        skipped.extend(reader.skipped)
        skipped.sort(key=lambda s: s.index)
        sources = _table_sources(reader)
    return Table(builder.finish(), skipped, sources)


def _check_threads(threads: Any) -> None:
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int, not {threads!r}")


def _add(builder: Any, window: list[Message], threads: int, errors: str) -> list[SkippedMessage]:
    """Decodes `window` into `builder`; the messages that failed, or raises the first with
    errors="raise"."""
    failed = []
    for _, error in builder.add(window, threads):
        if errors == "raise":
            raise error
        failed.append(SkippedMessage(error.index, error.offset, str(error)))
    return failed


def _table_sources(reader: Any) -> dict[int, str]:
    """Where the tables of each table key read so far came from."""
    return {key: entry[1] for key, entry in reader._cache.items() if isinstance(entry, tuple)}


def message_table(message: Message) -> Table:
    """One message's rows (``Message.to_arrow()``); raises its ReadError when it does not decode."""
    builder = _reader.RowBuilder(None)
    _add(builder, [message], 1, "raise")
    return Table(builder.finish(), [], {})


def message_matrix(message: Message) -> MessageMatrix:
    """``Message.to_numpy()``: see ``MessageMatrix``."""
    numpy = _optional("numpy", "numpy")
    values, descriptors, keys = _reader.matrix(message)
    return MessageMatrix(numpy.asarray(values), descriptors, keys)


def _windows(messages: Iterable[Message], octets: int | None = None) -> Iterator[list[Message]]:
    """Runs of WINDOW messages, or of about `octets` octets: the first run is one message, and
    each next run as many messages as `octets` holds at the mean length seen so far."""
    iterator = iter(messages)
    count = WINDOW if octets is None else 1
    seen = spanned = 0
    while window := list(itertools.islice(iterator, count)):
        yield window
        if octets is not None:
            seen += len(window)
            spanned += window[-1].offset + window[-1].length - window[0].offset
            count = max(1, min(WINDOW, octets * seen // max(spanned, 1)))


def _optional(module: str, extra: str) -> Any:
    """An optional library, imported when first needed, or an ImportError that says how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"this needs {module}: pip install {module} (or norvane[{extra}])") from error
