"""The long table's columns as numpy arrays, a run of whole messages (a piece) at a time.

Observation rows and the flat layout both walk subsets; a piece always holds whole messages,
so every subset lies in one piece, and what a piece needs in memory is bounded by its size
(plus one message), whatever the size of the table.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

PIECE_ROWS = 1 << 18  # long-table rows per piece: large enough that per-piece costs vanish

# Replication factors: the flat layout leaves them out, the walk never needs them.
REPLICATION_FACTORS = (31000, 31001, 31002, 31011, 31012)
TEXT_UNIT = "CCITT IA5"


class Names:
    """Key names interned to small integers for a whole table; the unit of each name is the
    one of its first occurrence (a key is one element, so one unit)."""

    def __init__(self) -> None:
        self.ids: dict[str, int] = {}
        self.names: list[str] = []
        self.units: list[str | None] = []

    def id(self, name: str) -> int:
        found = self.ids.get(name)
        if found is None:
            found = self.ids[name] = len(self.names)
            self.names.append(name)
            self.units.append(None)
        return found

    def is_text(self, name_id: int) -> bool:
        return self.units[name_id] == TEXT_UNIT


class Piece:
    """The rows of whole messages as arrays, and where each subset starts.

    ``key`` holds ids of ``Names`` (-1 for a null key), ``value`` NaN where null, ``text``
    the row's text or None (only built on demand: most walks read no text)."""

    def __init__(self, table: Any, names: Names) -> None:
        self._table = table
        self.n = table.num_rows
        self.message = _numpy(table.column("message"), np.int32)
        self.subset = _numpy(table.column("subset"), np.int32)
        self.descriptor = _numpy(table.column("descriptor"), np.int32)
        self.key = _codes(table.column("key"), names)
        self.value = table.column("value").to_numpy(zero_copy_only=False).astype(np.float64, copy=False)
        self._names = names
        self._text: np.ndarray | None = None
        self._starts: np.ndarray | None = None
        self._row_subset: np.ndarray | None = None

    @property
    def starts(self) -> np.ndarray:
        """The first row of each subset."""
        if self._starts is None:
            change = np.flatnonzero((self.message[1:] != self.message[:-1]) | (self.subset[1:] != self.subset[:-1]))
            self._starts = np.concatenate(([0], change + 1)).astype(np.int64) if self.n else np.zeros(0, np.int64)
        return self._starts

    @property
    def ends(self) -> np.ndarray:
        return np.append(self.starts[1:], self.n).astype(np.int64)

    @property
    def row_subset(self) -> np.ndarray:
        """For each row, the number of its subset within the piece."""
        if self._row_subset is None:
            self._row_subset = np.repeat(np.arange(len(self.starts), dtype=np.int64), self.ends - self.starts)
        return self._row_subset

    def note_units(self, only: list[int] | None = None) -> None:
        """Records the unit of the keys (all, or `only` these ids) whose unit is not known yet."""
        names = self._names
        if only is not None:
            for key_id in only:
                if names.units[key_id] is None:
                    rows = np.flatnonzero(self.key == key_id)
                    if len(rows):
                        names.units[key_id] = self._table.column("unit")[int(rows[0])].as_py() or ""
            return
        _note_units(self, self._table.column("unit"), names)

    def text(self) -> np.ndarray:
        """Each row's text (object array, None where there is none)."""
        if self._text is None:
            import pyarrow as pa

            column = self._table.column("text")
            if not pa.types.is_dictionary(column.type):
                column = column.dictionary_encode()
            out = np.full(self.n, None, dtype=object)
            offset = 0
            for chunk in column.chunks:
                length = len(chunk)
                if chunk.null_count < length:
                    words = np.array(chunk.dictionary.to_pylist() + [None], dtype=object)
                    out[offset:offset + length] = words[_indices(chunk, len(words) - 1)]
                offset += length
            self._text = out
        return self._text

    def ranks(self) -> np.ndarray:
        """Each row's rank among the rows of its subset with the same key, from 1."""
        return subset_ranks(self.key, self.row_subset)


_MULTIPLIERS = (np.uint64(0x9E3779B97F4A7C15), np.uint64(0xC2B2AE3D27D4EB4F))


class Templates:
    """Subsets grouped by their sequence of symbols (one small integer per row).

    A file holds few distinct sequences (every report of a station network has the same
    template, every subset of a compressed message too), so work that depends on the sequence
    alone is done once per group, on its first subset (its representative), and spread to the
    others. ``rows`` are the representatives' rows, in source order; ``spread`` maps results
    for those rows to every row."""

    def __init__(self, symbols: np.ndarray, first: np.ndarray) -> None:
        starts = np.flatnonzero(first)
        lengths = np.diff(np.append(starts, len(symbols)))
        position = np.arange(len(symbols)) - np.repeat(starts, lengths)
        with np.errstate(over="ignore"):
            signature = lengths.astype(np.uint64)
            if len(symbols):
                for multiplier in _MULTIPLIERS:
                    powers = np.cumprod(np.full(int(lengths.max()), multiplier, dtype=np.uint64))
                    weighted = (symbols.astype(np.uint64) + np.uint64(1)) * powers[position]
                    signature = signature * multiplier + np.add.reduceat(weighted, starts)
        _, representative, group = np.unique(signature, return_index=True, return_inverse=True)
        group = group.reshape(-1)
        # confirm each subset against its representative; a hash collision stands on its own
        if len(symbols):
            origin = np.repeat(starts[representative[group]], lengths) + position
            wrong = np.add.reduceat((symbols[origin] != symbols).astype(np.int64), starts) > 0
            if wrong.any():
                extra = np.flatnonzero(wrong)
                group[extra] = len(representative) + np.arange(len(extra))
                representative = np.concatenate((representative, extra))
        # representatives in source order, so that what is first seen in them is first seen overall
        order = np.argsort(representative, kind="stable")
        rank_of = np.empty(len(order), np.int64)
        rank_of[order] = np.arange(len(order))
        representative, group = representative[order], rank_of[group]
        walked_lengths = lengths[representative]
        offsets = np.concatenate(([0], np.cumsum(walked_lengths)[:-1])).astype(np.int64)
        self.rows = np.repeat(starts[representative], walked_lengths) + (
            np.arange(int(walked_lengths.sum())) - np.repeat(offsets, walked_lengths))
        self.first = first[self.rows]
        self._take = np.repeat(offsets[group], lengths) + position

    def spread(self, values: np.ndarray) -> np.ndarray:
        """Values for the representatives' rows, copied to the same row of every subset."""
        return values[self._take]


def subset_ranks(key: np.ndarray, row_subset: np.ndarray) -> np.ndarray:
    """The occurrence number (from 1) of each row's key within its subset, in row order.

    A stable sort by key keeps row order inside each key; a run of one key and one subset
    then counts up from its first row."""
    n = len(key)
    if not n:
        return np.zeros(0, np.int32)
    small = key.max() < 32767 and key.min() >= -32768
    order = np.argsort(key.astype(np.int16) if small else key, kind="stable")  # 16 bits: a radix sort
    k, s = key[order], row_subset[order]
    new_run = np.ones(n, dtype=bool)
    new_run[1:] = (k[1:] != k[:-1]) | (s[1:] != s[:-1])
    run_start = np.maximum.accumulate(np.where(new_run, np.arange(n), 0))
    ranks = np.empty(n, np.int32)
    ranks[order] = np.arange(n) - run_start + 1
    return ranks


def pieces(table: Any, names: Names, rows: int | None = None) -> Iterator[Piece]:
    """The long ``Table`` cut into pieces of whole messages of about ``rows`` rows, read from its
    Arrow stream batch by batch: a table that decodes as it streams is never held whole here."""
    import pyarrow as pa

    rows = rows or PIECE_ROWS
    reader = pa.RecordBatchReader.from_stream(table)
    pending: list[Any] = []
    pending_rows = 0
    for batch in reader:
        pending.append(batch)
        pending_rows += batch.num_rows
        while pending_rows >= rows:
            held = pa.Table.from_batches(pending, reader.schema)
            cut = _cut(held.column("message"), rows)
            if not cut:
                break  # one message fills all that is held: read on
            yield Piece(held.slice(0, cut), names)
            rest = held.slice(cut)
            pending, pending_rows = rest.to_batches(), rest.num_rows
    if pending_rows:
        yield Piece(pa.Table.from_batches(pending, reader.schema), names)


def _cut(messages: Any, rows: int) -> int:
    """Where to end a piece of the held rows (whole messages only; rows are in message order):
    at the start of the message that holds row `rows`, or past the first message when that one
    is longer; 0 when the held rows end inside their first message. Reads only the rows it
    needs, so cutting a long held run into pieces stays linear."""
    head = messages.slice(0, rows).to_numpy()
    cut = int(np.searchsorted(head, head[-1], side="left"))
    if cut:
        return cut
    start = len(head)
    while start < len(messages):
        window = messages.slice(start, rows).to_numpy()
        past = int(np.searchsorted(window, head[0], side="right"))
        if past < len(window):
            return start + past
        start += len(window)
    return 0


def _numpy(column: Any, dtype: Any) -> np.ndarray:
    return column.to_numpy().astype(dtype, copy=False)


def _codes(column: Any, names: Names) -> np.ndarray:
    """A dictionary column's values as ids of `names`, -1 where null."""
    import pyarrow as pa

    if not pa.types.is_dictionary(column.type):
        column = column.dictionary_encode()
    out = np.empty(len(column), np.int32)
    offset = 0
    for chunk in column.chunks:
        length = len(chunk)
        ids = np.array([names.id(word) for word in chunk.dictionary.to_pylist()] + [-1], dtype=np.int32)
        out[offset:offset + length] = ids[_indices(chunk, len(ids) - 1)]
        offset += length
    return out


def _indices(chunk: Any, null: int) -> np.ndarray:
    """A dictionary chunk's indices, `null` where the value is null (a null's index is undefined)."""
    import pyarrow.compute as pc

    if chunk.null_count:
        indices = pc.if_else(chunk.is_valid(), chunk.indices, null)
    else:
        indices = chunk.indices
    return indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)


def _note_units(piece: Piece, column: Any, names: Names) -> None:
    """Records the unit of each key not seen before (from its first row in this piece)."""
    unknown = [i for i, unit in enumerate(names.units) if unit is None]
    if not unknown or not piece.n:
        return
    wanted = np.zeros(len(names.names), dtype=bool)
    wanted[unknown] = True
    valid_key = piece.key >= 0
    rows = np.flatnonzero(valid_key & wanted[np.where(valid_key, piece.key, 0)])
    if not len(rows):
        return
    keys, first = np.unique(piece.key[rows], return_index=True)
    units = column.take(rows[first]).to_pylist()
    for key, unit in zip(keys.tolist(), units):
        names.units[key] = unit if unit is not None else ""
