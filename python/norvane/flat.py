"""The flat layout: one row per subset (report), as a pandas DataFrame like pdbufr's flat reader.

``flat_frame(table, columns, filters, required_columns)`` is what
``read_table(source, layout="flat", ...)`` returns.

Columns, in this order: the header fields of ``Table.headers()`` (``message``, ``offset``,
``edition``, ``centre`` ... ``table_source``), ``subset`` (from 0 in its message), then one
column per element occurrence named by key and rank in ecCodes' notation: ``#1#latitude``,
``#2#airTemperature`` (the second air temperature of the subset). The rank counts the
occurrences of a key within one subset and starts again at 1 in every subset. Operators and
replication factors are left out (they are structure, not observations); associated fields,
data-present bits and quality elements stay, ranked like any key. When subsets carry different
keys (messages of different templates, or replications of different lengths) the columns are
the union, in the order in which they are first seen, with a null where a subset has no such
occurrence.

Types as for observation rows: float64 (NaN missing), int64 for whole-number codes, counts and
date parts that no row misses, str (None missing) for text.

``columns`` keeps only the named columns (header fields, ``subset``, ranked keys; a bare key
such as ``airTemperature`` keeps all its ranks). ``filters`` take the conditions of observation
rows, on header fields, ranked keys or bare keys (a subset passes when any rank of the key
passes). ``required_columns`` drops the subsets that have no occurrence of a column (a value
coded missing is an occurrence); by default nothing is required, as every subset is a row.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from norvane._columns import REPLICATION_FACTORS, Names, Piece, Templates, pieces, subset_ranks
from norvane.rows import INTEGER_UNITS, Headers, kept_messages, match, parse_ranked
from norvane.table import HEADER_FIELDS, windows

_RANK_SPAN = np.int64(1) << 32  # a column is key id x span + rank


class _Columns:
    """The (key, rank) columns in first-seen order across the whole table."""

    def __init__(self) -> None:
        self.ids: dict[int, int] = {}
        self.pairs: list[int] = []

    def assign(self, pair: np.ndarray) -> np.ndarray:
        distinct, first, inverse = np.unique(pair, return_index=True, return_inverse=True)
        ids = np.array([self.ids.get(p, -1) for p in distinct.tolist()], dtype=np.int64)
        new = np.flatnonzero(ids < 0)
        for i in new[np.argsort(first[new], kind="stable")].tolist():  # first seen, first numbered
            ids[i] = self.ids[int(distinct[i])] = len(self.pairs)
            self.pairs.append(int(distinct[i]))
        return ids[inverse.reshape(-1)]

    def name(self, index: int, names: Names) -> str:
        pair = self.pairs[index]
        return f"#{pair % int(_RANK_SPAN)}#{names.names[pair // int(_RANK_SPAN)]}"


class _PieceCells:
    """One piece's cells: numbers, texts and which cells hold an occurrence."""

    def __init__(self, piece: Piece, names: Names, columns: _Columns, kept_messages: np.ndarray | None) -> None:
        descriptor, key = piece.descriptor, piece.key
        keep = (descriptor < 100000) & (key >= 0) & ~np.isin(descriptor, REPLICATION_FACTORS)
        if kept_messages is not None:
            keep &= np.isin(piece.message, kept_messages)
        starts = piece.starts
        subsets = np.ones(len(starts), dtype=bool)
        if kept_messages is not None:
            subsets = np.isin(piece.message[starts], kept_messages)
        self.messages = piece.message[starts][subsets].astype(np.int64)
        self.subsets = piece.subset[starts][subsets].astype(np.int64)
        row_of_subset = np.cumsum(subsets) - 1  # subset number in the piece -> output row
        rows = np.flatnonzero(keep)
        row_subset = piece.row_subset[rows]
        keys = key[rows]
        first = np.ones(len(rows), dtype=bool)
        first[1:] = row_subset[1:] != row_subset[:-1]
        # ranks and columns follow from a subset's keys alone: found once per template
        templates = Templates(keys, first)
        walked = keys[templates.rows]
        rank = subset_ranks(walked, np.cumsum(templates.first) - 1)
        column = templates.spread(columns.assign(walked.astype(np.int64) * _RANK_SPAN + rank))
        piece.note_units()
        width = len(columns.pairs)
        n = len(self.messages)
        out_row = row_of_subset[row_subset]
        self.numbers = np.full((n, width), np.nan)
        self.numbers[out_row, column] = piece.value[rows]
        self.present = np.zeros((n, width), dtype=bool)
        self.present[out_row, column] = True
        text_keys = np.array([names.is_text(i) for i in range(len(names.names))] + [False], dtype=bool)
        is_text = text_keys[key[rows]]
        self.texts: dict[int, np.ndarray] = {}
        if is_text.any():
            text = piece.text()
            for c in np.unique(column[is_text]).tolist():
                cells = np.full(n, None, dtype=object)
                chosen = is_text & (column == c)
                cells[out_row[chosen]] = text[rows[chosen]]
                self.texts[c] = cells


def flat_frame(table: Any, columns: Any = None, filters: Any = None, required_columns: Any = None) -> Any:
    """One row per subset of a long ``Table`` as a pandas DataFrame (see the module's text)."""
    import pandas as pd

    filters = dict(filters or {})
    names = Names()
    layout = _Columns()
    cells = []
    fields: dict[str, list[Any]] = {name: [] for name in HEADER_FIELDS}
    for window in windows(table):
        window_headers = window.headers()
        for name, values in window_headers.items():
            fields[name].extend(values)
        kept = kept_messages(Headers(window_headers), filters)
        cells.extend(_PieceCells(piece, names, layout, kept) for piece in pieces(window, names))
    headers = Headers(fields)
    header_fields = list(HEADER_FIELDS)
    width = len(layout.pairs)
    data_names = [layout.name(i, names) for i in range(width)]
    numbers = _stack([c.numbers for c in cells], width, np.nan, float)
    present = _stack([c.present for c in cells], width, False, bool)
    messages = np.concatenate([c.messages for c in cells]) if cells else np.zeros(0, np.int64)
    subsets = np.concatenate([c.subsets for c in cells]) if cells else np.zeros(0, np.int64)
    texts: dict[int, np.ndarray] = {}
    offset = 0
    for c in cells:
        for index, values in c.texts.items():
            if index not in texts:
                texts[index] = np.full(len(messages), None, dtype=object)
            texts[index][offset:offset + len(values)] = values
        offset += len(c.messages)

    def data_column(index: int) -> tuple[np.ndarray, np.ndarray]:
        values = texts[index] if index in texts else numbers[:, index]
        return values, present[:, index]

    by_name = {name: i for i, name in enumerate(data_names)}
    keep = np.ones(len(messages), dtype=bool)
    for name, condition in filters.items():
        if name in headers:
            continue
        if name == "subset":
            keep &= match(condition, subsets, np.ones(len(subsets), dtype=bool))
            continue
        hit = np.zeros(len(messages), dtype=bool)
        for index in _matching(name, by_name, data_names):
            hit |= match(condition, *data_column(index))
        keep &= hit
    for name in _required(required_columns, columns):
        if name in headers or name == "subset":
            continue
        has = np.zeros(len(messages), dtype=bool)
        for index in _matching(name, by_name, data_names):
            has |= present[:, index]
        keep &= has
    chosen = list(range(width))
    chosen_headers = header_fields
    show_subset = True
    if columns is not None:
        wanted = [columns] if isinstance(columns, str) else list(columns)
        chosen_headers = [name for name in header_fields if name in wanted]
        show_subset = "subset" in wanted
        picked = set()
        for name in wanted:
            if name not in headers and name != "subset":
                picked.update(_matching(name, by_name, data_names))
        chosen = sorted(picked)
    rows = np.flatnonzero(keep)
    frame: dict[str, Any] = {}
    for name in chosen_headers:
        frame[name] = headers.at(name, messages[rows])
    if show_subset:
        frame["subset"] = subsets[rows]
    parts = [pd.DataFrame(frame, index=pd.RangeIndex(len(rows)))]
    numeric = [i for i in chosen if i not in texts]
    block = numbers[np.ix_(rows, numeric)] if numeric else np.zeros((len(rows), 0))
    whole = _integer_columns(block, [names.units[layout.pairs[i] // int(_RANK_SPAN)] for i in numeric])
    if numeric:
        floats = [j for j in range(len(numeric)) if not whole[j]]
        ints = [j for j in range(len(numeric)) if whole[j]]
        if floats:
            parts.append(pd.DataFrame(block[:, floats], columns=[data_names[numeric[j]] for j in floats]))
        if ints:
            parts.append(pd.DataFrame(block[:, ints].astype(np.int64), columns=[data_names[numeric[j]] for j in ints]))
    text_columns = {data_names[i]: texts[i][rows] for i in chosen if i in texts}
    if text_columns:
        parts.append(pd.DataFrame(text_columns, index=pd.RangeIndex(len(rows))))
    order = list(frame) + [data_names[i] for i in chosen]
    result = pd.concat(parts, axis=1) if len(parts) > 1 else parts[0]
    return result[order] if list(result.columns) != order else result


def _stack(blocks: list[np.ndarray], width: int, fill: Any, dtype: Any) -> np.ndarray:
    """Blocks of rows, widened to `width` columns (later pieces may have seen more columns)."""
    rows = sum(len(b) for b in blocks)
    out = np.full((rows, width), fill, dtype=dtype)
    at = 0
    for b in blocks:
        out[at:at + len(b), :b.shape[1]] = b
        at += len(b)
    return out


def _matching(name: str, by_name: dict[str, int], data_names: list[str]) -> list[int]:
    """The data columns a name selects: itself when ranked, else every rank of the key."""
    key, rank = parse_ranked(name)
    if rank:
        return [by_name[name]] if name in by_name else []
    suffix = "#" + key
    return [i for i, n in enumerate(data_names) if n.endswith(suffix) and n[1:-len(suffix)].isdigit()]


def _required(required_columns: Any, columns: Any) -> list[str]:
    if required_columns is None or required_columns is False:
        return []
    if required_columns is True:
        return [] if columns is None else ([columns] if isinstance(columns, str) else list(columns))
    return [required_columns] if isinstance(required_columns, str) else list(required_columns)


def _integer_columns(block: np.ndarray, units: list[str | None]) -> list[bool]:
    if not block.shape[1]:
        return []
    if not block.shape[0]:
        return [False] * block.shape[1]
    finite = ~np.isnan(block).any(axis=0)
    with np.errstate(invalid="ignore"):
        whole = (block == np.round(block)).all(axis=0) & (np.abs(block).max(axis=0) < 2**62)
    return [bool(f and w and u in INTEGER_UNITS) for f, w, u in zip(finite, whole, units)]
