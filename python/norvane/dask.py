"""Reading many BUFR files as one Dask DataFrame: ``norvane.dask.read_table``.

The client only plans. A partition is a file, or a run of messages of a file, named by its
path, its octet range and the index of its first message in the file; planning reads message
headers (and section 0 of bad messages) and never decodes data. Workers open the files themselves,
decode their range with ``norvane.read_table`` and keep the tables they load for the life
of their process, so nothing decoded travels except the finished partitions.

Each partition's ``message`` numbers (and ``offset``s, in layouts that have them) count from the
start of its file, exactly as reading the whole file counts them, and a ``file`` column names
the file. With ``errors="skip"`` each partition records what it passed over;
``skipped_messages(frame)`` turns those records into a second Dask DataFrame that computes
together with the first, from the same tasks.

Dask is an optional dependency (``pip install norvane[dask]``): only this module imports it.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import Any, Literal, NamedTuple

from norvane import table as _table
from norvane.reader import ReadError, SkippedMessage, read
from norvane.table_cache import TableCache

__all__ = ["read_table", "skipped_messages", "plan_partitions", "expand_paths", "Partition", "FileSkippedMessage",
           "FileReadError"]

# Integer columns that are never null; any other integer column of the first message may hold
# nulls in another partition (where pandas makes it float64), so the frame's schema takes float64.
_NEVER_NULL = frozenset({"message", "subset", "descriptor", "offset"})
_SKIPPED_ATTR = "norvane_skipped"


class Partition(NamedTuple):
    """The octets ``[start, end)`` of ``path`` (a file of ``size`` octets), whose first message has index
    ``first_index`` in the file."""

    path: str
    start: int
    end: int
    first_index: int
    size: int


class FileSkippedMessage(NamedTuple):
    """A message of ``path`` passed over with ``errors="skip"``: index and offset in the file, and the error text."""

    path: str
    index: int
    offset: int
    error: str


class FileReadError(ReadError):
    """``ReadError`` of a message of ``path``; index and offset count in the whole file. Picklable, so it
    reaches the client from a worker process intact."""

    def __init__(self, text: str, index: int, offset: int, path: str) -> None:
        super().__init__(text, index, offset)
        self.path = path

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.index, self.offset, self.path)


class _Options(NamedTuple):
    """What every partition is read with (small and picklable: it travels with each task)."""

    definitions: str | None
    errors: str
    keywords: dict[str, Any]  # the read_table keywords of the layout, forwarded as given
    meta: Any  # the frame's empty pandas DataFrame, which each partition is aligned to


def expand_paths(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The files to read, as absolute paths: a glob pattern's matches and a directory's files (each sorted),
    other paths as given, in the order given. Raises ``FileNotFoundError`` when nothing matches."""
    entries = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    found: list[str] = []
    for entry in entries:
        entry = os.fspath(entry)
        if glob.has_magic(entry):
            matches = sorted(path for path in glob.glob(entry) if os.path.isfile(path))
            if not matches:
                raise FileNotFoundError(f"no file matches {entry!r}")
            found += matches
        elif os.path.isdir(entry):
            found += sorted(os.path.join(entry, name) for name in os.listdir(entry)
                            if os.path.isfile(os.path.join(entry, name)))
        else:
            found.append(entry)
    if not found:
        raise FileNotFoundError(f"no file to read in {paths_or_glob!r}")
    return [os.path.abspath(path) for path in found]


def plan_partitions(paths: Sequence[str], messages_per_partition: int | None = None) -> list[Partition]:
    """The partitions of ``paths``: one per file, or runs of about ``messages_per_partition`` messages.

    A run starts at a sound message that no earlier bad message's declared extent reaches into, so
    that reading a run alone finds, counts and reports its messages exactly as reading the whole
    file does (a bad message spanning later ones makes a run longer). Planning reads the messages'
    headers and the 8 octets of section 0 of each bad one; it decodes nothing.
    """
    if messages_per_partition is not None and (
            isinstance(messages_per_partition, bool) or not isinstance(messages_per_partition, int)
            or messages_per_partition < 1):
        raise ValueError(f"messages_per_partition must be a positive int or None, not {messages_per_partition!r}")
    plan: list[Partition] = []
    for path in paths:
        size = os.path.getsize(path)
        if messages_per_partition is None:
            plan.append(Partition(path, 0, size, 0, size))
        else:
            plan += _plan_file(path, size, messages_per_partition)
    return plan


def _plan_file(path: str, size: int, per_partition: int) -> list[Partition]:
    starts = [(0, 0)]  # (offset, first index) of each run
    # A bad message whose declared extent lies in the file is read (and the markers inside it are
    # passed over) as far as that extent, so no run may start before its end. One cut short by the
    # end of the file reads alike in any run that holds its marker, up to the octet count it
    # reports (rewritten by _file_skipped).
    closed_until = 0
    with read(path, errors="skip") as reader, open(path, "rb") as file:
        noted = 0
        for message in reader:  # headers only: nothing is decoded
            for bad in reader.skipped[noted:]:
                file.seek(bad.offset)
                head = file.read(8)
                declared = int.from_bytes(head[4:7], "big") if len(head) == 8 else size
                if bad.offset + declared <= size:
                    closed_until = max(closed_until, bad.offset + max(declared, 4))
            noted = len(reader.skipped)
            if message.index - starts[-1][1] >= per_partition and message.offset >= closed_until:
                starts.append((message.offset, message.index))
    ends = [offset for offset, _ in starts[1:]] + [size]
    return [Partition(path, start, end, first, size) for (start, first), end in zip(starts, ends)]


def read_table(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
               layout: str = "long", columns: Sequence[str] | None = None, filters: Any = None,
               required_columns: Sequence[str] | None = None, errors: Literal["raise", "skip"] = "raise",
               messages_per_partition: int | None = None,
               definitions: str | os.PathLike[str] | None = None) -> Any:
    """The tables of many BUFR files as one ``dask.dataframe.DataFrame``, read by Dask's workers.

    ``paths_or_glob``: a path, a glob pattern, a directory (its files), or a list of those; every
    worker must see the files at the same (absolute) paths. ``messages_per_partition``: None reads
    each file as one partition; a number cuts files into runs of about that many messages.

    ``layout``, ``columns``, ``filters``, ``required_columns`` and ``errors`` mean what they mean for
    ``norvane.read_table``, which decodes each partition, and the frame holds its columns after
    a ``file`` column (the absolute path, categorical); message indices and offsets count in the
    whole file. ``definitions``: an ecCodes definitions root that every worker sees; None lets each
    worker find its own (else the bundled tables). A ``TableSet`` cannot travel between processes.

    The schema comes from decoding the first message of the first partition (in the long layout)
    or of every partition (in others, whose columns vary); a partition lacking some of its columns
    gets them as nulls. ``errors="raise"`` makes ``compute()`` raise ``FileReadError`` for the first
    bad message of whichever partition meets one first; ``errors="skip"`` leaves the bad messages
    out, and ``skipped_messages(frame)`` lists them.
    """
    import dask
    import dask.dataframe as dd

    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    keywords: dict[str, Any] = {}
    if layout != "long":  # today's read_table knows only the long layout; leave the default implicit
        keywords["layout"] = layout
    for name, value in (("columns", columns), ("filters", filters), ("required_columns", required_columns)):
        if value is not None:
            keywords[name] = value
    root = os.path.abspath(definitions) if definitions is not None else None
    if root is not None:
        TableCache(None, root)  # an invalid root fails here, once, rather than in every task
    plan = plan_partitions(expand_paths(paths_or_glob), messages_per_partition)
    options = _Options(root, errors, keywords, None)
    if layout == "long":
        meta = _meta([_sample(plan[0], options)])
    else:
        samples = [dask.delayed(_sample, pure=True)(part, options) for part in plan]
        meta = _meta(dask.compute(*samples))
    return dd.from_map(_read_partition, plan, args=[options._replace(meta=meta)], meta=meta,
                       label="norvane-read-table", enforce_metadata=False)


def skipped_messages(frame: Any) -> Any:
    """The messages that the partitions of ``frame`` (a frame from ``read_table(..., errors="skip")``,
    or one derived from it row-wise) passed over, as a Dask DataFrame with the columns path, index,
    offset and error. Compute both together, ``dask.compute(frame, skipped_messages(frame))``, to
    decode once."""
    import pandas as pd

    meta = pd.DataFrame({"path": pd.Series([], dtype=object), "index": pd.Series([], dtype="int64"),
                         "offset": pd.Series([], dtype="int64"), "error": pd.Series([], dtype=object)})
    return frame.map_partitions(_skipped_frame, meta=meta, enforce_metadata=False)


def _skipped_frame(partition: Any) -> Any:
    import pandas as pd

    rows = partition.attrs.get(_SKIPPED_ATTR, [])
    return pd.DataFrame({"path": pd.Series([r.path for r in rows], dtype=object),
                         "index": pd.Series([r.index for r in rows], dtype="int64"),
                         "offset": pd.Series([r.offset for r in rows], dtype="int64"),
                         "error": pd.Series([r.error for r in rows], dtype=object)})


def _sample(part: Partition, options: _Options) -> Any:
    """The empty frame of ``part``'s first sound message, decoded alone (an empty source when there is
    none: its table still has the layout's columns). Finding it reads headers from the start of the
    file, which is mapped, not read."""
    where = part._replace(end=part.start)
    with read(part.path, errors="skip") as reader:
        for message in reader:
            if message.offset >= part.end:
                break
            if message.offset >= part.start:
                where = part._replace(start=message.offset, end=message.offset + message.length,
                                      first_index=message.index)
                break
    frame, _ = _decode(where, options._replace(errors="skip"))
    return frame.iloc[:0]


def _octets(part: Partition) -> bytes:
    with open(part.path, "rb") as file:
        file.seek(part.start)
        return file.read(part.end - part.start)


def _meta(samples: Sequence[Any]) -> Any:
    """The frame's schema: the samples' columns in order of first appearance; integer columns that may
    hold nulls become float64, categories become unknown (each partition has its own)."""
    import numpy as np
    import pandas as pd
    from dask.dataframe.utils import clear_known_categories

    dtypes: dict[str, Any] = {}
    for sample in samples:
        for name, dtype in sample.dtypes.items():
            known = dtypes.get(name)
            if known is None:
                dtypes[name] = dtype
            elif known != dtype:
                numeric = pd.api.types.is_numeric_dtype
                dtypes[name] = np.dtype("float64") if numeric(known) and numeric(dtype) else np.dtype(object)
    for name, dtype in dtypes.items():
        integer = pd.api.types.is_integer_dtype(dtype) and not isinstance(dtype, pd.CategoricalDtype)
        if integer and name not in _NEVER_NULL:
            dtypes[name] = np.dtype("float64")
    meta = pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in dtypes.items()})
    return clear_known_categories(meta)


def _read_partition(part: Partition, options: _Options) -> Any:
    frame, skipped = _decode(part, options)
    frame = _align(frame, options.meta, part)
    frame.attrs[_SKIPPED_ATTR] = skipped
    return frame


def _decode(part: Partition, options: _Options) -> tuple[Any, list[FileSkippedMessage]]:
    """``part`` decoded by read_table, as a pandas DataFrame with the ``file`` column first and
    indices and offsets counted in the whole file, and its skipped messages likewise."""
    import numpy as np
    import pandas as pd

    data = _octets(part)
    tables = _process_tables(options.definitions).for_source(data, part)
    chosen = {"tables": tables} if tables is not None else {"definitions": options.definitions}
    try:
        result = _table.read_table(data, errors=options.errors, **chosen, **options.keywords)
    except ReadError as error:
        found = _file_skipped(part, SkippedMessage(error.index, error.offset, str(error)))
        raise FileReadError(f"{part.path}: {found.error}", found.index, found.offset, part.path) from None
    to_pandas = getattr(result, "to_pandas", None)
    frame = to_pandas() if callable(to_pandas) else result
    local_skipped = getattr(result, "skipped", None)
    if local_skipped is None:  # a layout returning a pandas DataFrame keeps them in its attrs
        local_skipped = frame.attrs.get("skipped", [])
    skipped = [_file_skipped(part, s) for s in local_skipped]
    for name, shift in (("message", part.first_index), ("offset", part.start)):
        if name in frame.columns and shift:
            frame[name] = (frame[name] + shift).astype(frame[name].dtype)
    codes = np.zeros(len(frame), dtype=np.int8)
    frame.insert(0, "file", pd.Categorical.from_codes(codes, categories=[part.path]))
    return frame, skipped


def _file_skipped(part: Partition, skipped: SkippedMessage) -> FileSkippedMessage:
    """A message that reading ``part`` alone passed over, with its index and offset counted in the whole
    file, and its text as reading the whole file writes it: the position it starts with, and the
    octets that remain after a message cut short by the end of the run."""
    index, offset = skipped.index + part.first_index, skipped.offset + part.start
    text = skipped.error
    local = f"message {skipped.index} at offset {skipped.offset}"
    if text.startswith(local):
        text = f"message {index} at offset {offset}" + text[len(local):]
    remain = f" octets and {part.end - offset} remain"
    if part.end != part.size and text.startswith(f"message {index} at offset {offset}: message is cut short: it "
                                                 f"declares ") and text.endswith(remain):
        text = text[:-len(remain)] + f" octets and {part.size - offset} remain"
    return FileSkippedMessage(part.path, index, offset, text)


def _align(frame: Any, meta: Any, part: Partition) -> Any:
    """``frame`` with ``meta``'s columns in ``meta``'s order and types; missing columns are all null."""
    import pandas as pd

    extra = [name for name in frame.columns if name not in meta.columns]
    if extra:
        raise ValueError(f"{part.path} (octets {part.start} to {part.end}) has the columns {extra}, which the first "
                         f"message of no partition has; choose the columns with columns=")
    out = {}
    for name, dtype in meta.dtypes.items():
        if name not in frame.columns:
            column = pd.Series(None, index=frame.index, dtype=object)
        else:
            column = frame[name]
        if isinstance(dtype, pd.CategoricalDtype):
            if not isinstance(column.dtype, pd.CategoricalDtype):
                column = column.astype("category")
            categories = column.cat.categories
            if categories.dtype != dtype.categories.dtype:  # all-null columns get object categories
                categories = pd.Index(categories, dtype=dtype.categories.dtype)
                column = pd.Series(pd.Categorical.from_codes(column.cat.codes, categories=categories),
                                   index=frame.index)
        elif column.dtype != dtype:
            column = column.astype(dtype)
        out[name] = column
    return pd.DataFrame(out, index=frame.index)


class _ProcessTables:
    """The tables this process has loaded for one definitions root, kept for its whole life, so a
    worker loads each table set once however many partitions it reads."""

    def __init__(self, definitions: str | None) -> None:
        self._cache = TableCache(None, definitions)

    def for_source(self, data: bytes, part: Partition) -> Any:
        """The TableSet serving every message of ``data`` (the octets of ``part``), when they share one
        table key and its tables load; None otherwise (read_table then chooses tables per message)."""
        keys = set()
        with read(data, errors="skip") as reader:
            for message in reader:  # headers only: no message is decoded here
                if not keys:
                    where = f"{part.path}: message {part.first_index + message.index} at offset " \
                            f"{part.start + message.offset}"
                keys.add(message._key)
                if len(keys) > 1:
                    return None
        if not keys:
            return None
        (key,) = keys
        try:
            return self._cache.tables_for(key, lambda: where)[0]
        except ValueError:
            return None


_PROCESS_TABLES: dict[str | None, _ProcessTables] = {}


def _process_tables(definitions: str | None) -> _ProcessTables:
    found = _PROCESS_TABLES.get(definitions)
    if found is None:
        found = _PROCESS_TABLES[definitions] = _ProcessTables(definitions)
    return found
