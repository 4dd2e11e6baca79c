"""Observation rows: "station, position, time and temperature for every report (or every level
of every sounding)" from a long table, as a pandas DataFrame (the frame pdbufr users know).

``observation_rows(table, columns, filters, required_columns)`` is what
``read_table(source, columns=..., filters=..., required_columns=...)`` returns.

How a subset becomes rows
-------------------------
A subset is walked in order as a hierarchy. Coordinate elements (classes 01 to 09: station,
time, position, height, pressure, significance ...) open a level: everything after a
coordinate lies one level below it, and when a coordinate with the same key comes again the
walk goes back to the level where that key stood, dropping all that was opened after it
(this is how one replicated pressure level ends and the next begins). The requested keys
collect a context; a row is emitted each time the context is about to lose a value (a key
comes back at the same level, or the walk returns to a shallower level) and at the end of the
subset. So a TEMP gives one row per level with its station and position repeated, and a SYNOP
one row per report. Replications are recognised by that same repetition: the long table holds
their factors but not their extent, and the coordinates that open each repetition (pressure,
cloud significance, sensor height) delimit them.

Repeated elements (the same key several times in one subset, e.g. air temperature at two
sensor heights): every occurrence gives its own row, carrying what came before it in the
subset. (pdbufr does the same, except for a key that comes again deeper than before, under a
coordinate opened since: it overwrites the earlier value without a row; here the earlier
occurrence gets its row too.) Ask for the coordinate that tells them apart
(``heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform``) to see which is which, or name one
occurrence by its rank in the subset, ``"#1#airTemperature"`` (the first), as in the flat
layout. A row is kept when every required column is in its context (a value that is coded
missing is in the context, as NaN/None); by default every column is required.

Columns: element keys (``airTemperature``), ranked keys (``#2#airTemperature``), the header
fields of ``Table.headers()`` (``centre`` is the header's originating centre; element 001031
is ``#1#centre``), ``subset``, and computed columns: ``datetime`` (year, month, day, hour,
minute, second of the subset; hour, minute and second count as 0 when absent), ``station_id``
(block number x 1000 + station number), ``wigos_id`` (``"0-20000-0-12345"``) and ``geometry``
(``[longitude, latitude]``). pdbufr's names ``data_datetime``, ``WMO_station_id`` and
``WIGOS_station_id`` are accepted for them too.

Filters: ``{key: condition}`` on any column. A condition is a value, a list or set (any of
them), a range (``slice(lo, hi)`` or ``(lo, hi)``, both ends included, either may be None) or
a callable (called once per distinct value, True keeps the row). A missing value never
matches, and a filtered key must be in a row's context for the row to be kept.

The walk depends only on a subset's sequence of keys, so it runs once per distinct sequence
(a station network's reports share one; so do all subsets of a compressed message) and the
rows of the others are gathered with numpy.

Types: numbers are float64, NaN when missing; codes, counts and date parts (units CODE
TABLE, FLAG TABLE, Numeric, a, mon, d, h, min) are int64 when no row misses them; text is
str (None when missing); ``datetime`` is datetime64[ns] (NaT when it forms no valid date).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from norvane._columns import Names, Piece, Templates, pieces
from norvane.table import HEADER_FIELDS, windows

COMPUTED = {
    "datetime": ("year", "month", "day", "hour", "minute", "second"),
    "station_id": ("blockNumber", "stationNumber"),
    "wigos_id": ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber",
                 "wigosLocalIdentifierCharacter"),
    "geometry": ("longitude", "latitude"),
}
ALIASES = {"data_datetime": "datetime", "WMO_station_id": "station_id", "WIGOS_station_id": "wigos_id"}
INTEGER_UNITS = frozenset(("CODE TABLE", "FLAG TABLE", "Numeric", "a", "mon", "d", "h", "min"))


def parse_ranked(name: str) -> tuple[str, int]:
    """``"#2#airTemperature"`` -> ("airTemperature", 2); a bare key has rank 0."""
    if name.startswith("#"):
        rank, sep, key = name[1:].partition("#")
        if sep and rank.isdigit() and int(rank) > 0 and key:
            return key, int(rank)
        raise ValueError(f"{name!r} is not a ranked key like '#1#airTemperature'")
    return name, 0


class Request:
    """What a call asks for, sorted by where each column comes from."""

    def __init__(self, columns: Any, filters: Any, required_columns: Any, header_fields: Iterable[str]) -> None:
        if columns is None:
            columns = []
        elif isinstance(columns, str):
            columns = [columns]
        self.columns = list(dict.fromkeys(columns))
        if not self.columns:
            raise ValueError("columns must name at least one key")
        self.filters = dict(filters or {})
        if required_columns is None or required_columns is True:
            required = set(self.columns)
        elif required_columns is False:
            required = set()
        elif isinstance(required_columns, str):
            required = {required_columns}
        else:
            required = set(required_columns)
        unknown = required - set(self.columns)
        if unknown:
            raise ValueError(f"required_columns must be among columns; not: {sorted(unknown)}")
        self.required = required
        self.header_fields = set(header_fields)
        # walk names: the element keys whose values the walk collects, as (key, rank)
        self.walk: list[tuple[str, int]] = []
        for name in list(self.columns) + list(self.filters):
            for key in self.inputs(name):
                if key not in self.walk:
                    self.walk.append(key)

    def kind(self, name: str) -> str:
        if name in self.header_fields:
            return "header"
        if name == "subset":
            return "subset"
        if ALIASES.get(name, name) in COMPUTED:
            return "computed"
        return "data"

    def inputs(self, name: str) -> list[tuple[str, int]]:
        kind = self.kind(name)
        if kind == "computed":
            return [(key, 0) for key in COMPUTED[ALIASES.get(name, name)]]
        if kind == "data":
            return [parse_ranked(name)]
        return []


def walked_keys(columns: Any, filters: Any, required_columns: Any) -> list[str]:
    """The element keys whose values the walk of a call collects (besides the coordinates)."""
    request = Request(columns, filters, required_columns, HEADER_FIELDS)
    return list(dict.fromkeys(key for key, _rank in request.walk))


class _Walk:
    """The walk's states, shared by all pieces: a state is the coordinate stack, the current
    level and the collected context (names, and their levels after a bottom 0, as pdbufr keeps
    them). A context holds each name once, so states are bounded by the shapes it can take."""

    def __init__(self, walk_count: int) -> None:
        self.walk_count = walk_count
        self.states: list[tuple[Any, ...]] = [((), 0, (), (0,))]
        self.state_ids: dict[tuple[Any, ...], int] = {self.states[0]: 0}

    def step(self, state_id: int, coord_key: int, name: int, first: bool) -> int:
        """The new state (times two, plus 1 when the context was emitted before this row)."""
        coords, level, context, levels = self.states[0 if first else state_id]
        if coord_key >= 0:
            for i, (key, key_level) in enumerate(coords):
                if key == coord_key:  # the coordinate comes back: return to its level
                    level, coords = key_level, coords[:i]
                    break
            row_level = level
            coords, level = coords + ((coord_key, level),), level + 1
        else:
            row_level = level
        emitted = 0
        if name >= 0:
            # the context is emitted before it loses a value: the walk returns to a shallower
            # level, or the name comes again (each occurrence is a row of its own)
            if context and (row_level < levels[-1] or name in context):
                emitted = 1
            while context and row_level < levels[-1]:
                context, levels = context[:-1], levels[:-1]
            if name in context:  # drop its last occurrence and what came after it
                i = context.index(name)
                context, levels = context[:i], levels[:i + 1]
            context, levels = context + (name,), levels + (row_level,)
        state = (coords, level, context, levels)
        found = self.state_ids.get(state)
        if found is None:
            found = self.state_ids[state] = len(self.states)
            self.states.append(state)
        return found * 2 + emitted

    def alive(self) -> np.ndarray:
        """alive[state, name]: the name is in the state's context."""
        out = np.zeros((len(self.states), max(self.walk_count, 1)), dtype=bool)
        for i, state in enumerate(self.states):
            if state[2]:
                out[i, list(state[2])] = True
        return out


def _walk_piece(piece: Piece, names: Names, request: Request, walk: _Walk,
                messages_kept: np.ndarray | None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Runs the walk over one piece. Returns the long-table row of each emitted row's last
    relevant value (which gives its message and subset), and for each walk name the row of
    its value in the context (-1 when absent): (event_rows, sources[names, events], states)."""
    n_walk = len(request.walk)
    walk_of_key = np.full(len(names.names) + 1, -1, np.int32)
    ranked = []
    for w, (key, rank) in enumerate(request.walk):
        key_id = names.ids.get(key)
        if key_id is None:
            continue
        if rank:
            ranked.append((w, key_id, rank))
        else:
            walk_of_key[key_id] = w
    key = piece.key
    name = walk_of_key[key]  # a null key (-1) reads the last slot, which stays -1
    if ranked:
        ranks = piece.ranks()
        for w, key_id, rank in ranked:
            name[(key == key_id) & (ranks == rank)] = w
    descriptor = piece.descriptor
    is_coord = (descriptor - 1000).view(np.uint32) < 9000  # F=0, classes 01 to 09
    relevant = is_coord | (name >= 0)
    if messages_kept is not None:
        relevant &= messages_kept
    rel = np.flatnonzero(relevant)
    if not len(rel):
        return np.zeros(0, np.int64), np.zeros((n_walk, 0), np.int64), np.zeros(0, np.int64)
    rel_message, rel_subset = piece.message[rel], piece.subset[rel]
    first = np.ones(len(rel), dtype=bool)
    first[1:] = (rel_subset[1:] != rel_subset[:-1]) | (rel_message[1:] != rel_message[:-1])
    coord_key = np.where(is_coord[rel], key[rel], -1).astype(np.int64)
    rel_name = name[rel].astype(np.int64)
    code = ((coord_key + 1) * (n_walk + 1) + rel_name + 1) * 2 + first
    # number the symbols that occur (codes are small: keys x walk names x 2)
    occurs = np.zeros(int(code.max()) + 1, dtype=bool)
    occurs[code] = True
    symbols = np.flatnonzero(occurs)
    symbol_of = (np.cumsum(occurs) - 1)[code]
    table = [(int(c) // 2 // (n_walk + 1) - 1, int(c) // 2 % (n_walk + 1) - 1, bool(int(c) & 1)) for c in symbols]
    result_array = _run(walk, table, symbol_of, first)
    new_state = result_array >> 1
    emitted = np.flatnonzero(result_array & 1)
    last = np.ones(len(rel), dtype=bool)
    last[:-1] = first[1:]
    ends = np.flatnonzero(last)
    # events: before each emitting row (its context is the state after the row before),
    # then at the end of each subset; ordered by position
    event_pos = np.concatenate((emitted - 1, ends))
    order = np.argsort(np.concatenate((2 * emitted - 1, 2 * ends + 1)), kind="stable")
    event_pos = event_pos[order]
    event_state = new_state[event_pos]
    # the row of each name's latest value up to each relevant row, within its subset
    subset_first = np.maximum.accumulate(np.where(first, np.arange(len(rel)), 0))
    alive = walk.alive()
    sources = np.full((n_walk, len(event_pos)), -1, np.int64)
    positions = np.arange(len(rel))
    for w in range(n_walk):
        seen = np.where(rel_name == w, positions, -1)
        if not (seen >= 0).any():
            continue
        latest = np.maximum.accumulate(seen)[event_pos]
        ok = (latest >= subset_first[event_pos]) & alive[event_state, w]
        sources[w] = np.where(ok, rel[np.maximum(latest, 0)], -1)
    keep = (sources >= 0).any(axis=0)
    return rel[event_pos][keep], sources[:, keep], event_state[keep]


def _run(walk: _Walk, table: list[tuple[int, int, bool]], symbols: np.ndarray, first: np.ndarray) -> np.ndarray:
    """The walk's result (state x 2 + emitted) after each relevant row; subsets with the same
    symbols walk the same way, so one of each kind is walked."""
    templates = Templates(symbols, first)
    return templates.spread(_loop(walk, table, symbols[templates.rows]))


def _loop(walk: _Walk, table: list[tuple[int, int, bool]], symbols: np.ndarray) -> np.ndarray:
    width = len(table)
    memo: dict[int, int] = {}
    step = walk.step
    out = []
    append = out.append
    state = 0
    # The walk proper: one dictionary look-up per relevant row; the states are few.
    for s in symbols.tolist():
        slot = state * width + s
        result = memo.get(slot)
        if result is None:
            result = memo[slot] = step(state, *table[s])
        append(result)
        state = result >> 1
    return np.array(out, dtype=np.int64)


class _Column:
    """One output column's values and which rows have it in their context."""

    __slots__ = ("values", "present")

    def __init__(self, values: np.ndarray, present: np.ndarray) -> None:
        self.values, self.present = values, present


def _data_column(piece: Piece, names: Names, key: str, rows: np.ndarray) -> _Column:
    present = rows >= 0
    safe = np.maximum(rows, 0)
    key_id = names.ids.get(key)
    if key_id is not None and names.is_text(key_id):
        values = piece.text()[safe] if piece.n else np.zeros(0, object)
        values = np.where(present, values, None)
    else:
        values = np.where(present, piece.value[safe] if piece.n else 0.0, np.nan)
    return _Column(values, present)


class Headers:
    """The header fields of a table's messages, each as a numpy array made on first use."""

    def __init__(self, headers: Headers) -> None:
        self.fields = headers
        self._arrays: dict[str, np.ndarray] = {}
        self.index = self.array("message")

    def __contains__(self, name: str) -> bool:
        return name in self.fields

    def array(self, name: str) -> np.ndarray:
        """The field for every message in table order."""
        found = self._arrays.get(name)
        if found is None:
            found = self._arrays[name] = _as_array(name, self.fields[name])
        return found

    def at(self, name: str, messages: np.ndarray) -> np.ndarray:
        """The field for each of `messages` (message indices)."""
        return self.array(name)[np.searchsorted(self.index, messages)]


def _as_array(name: str, values: list[Any]) -> np.ndarray:
    if name == "typical_datetime":
        return np.array(values, dtype="datetime64[ns]")  # None reads as NaT
    array = np.array(values)
    if array.dtype.kind in "biu":  # plain ints or bools; a None somewhere makes it object
        return array.astype(np.int64) if array.dtype.kind != "b" else array
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _computed(kind: str, parts: list[_Column]) -> _Column:
    n = len(parts[0].values)
    if kind == "station_id":
        block, station = parts
        ok = block.present & station.present & ~np.isnan(block.values) & ~np.isnan(station.values)
        values = np.where(ok, np.nan_to_num(block.values) * 1000 + np.nan_to_num(station.values), np.nan)
        return _Column(values, ok)
    if kind == "geometry":
        lon, lat = parts
        ok = lon.present & lat.present
        values = np.empty(n, dtype=object)
        values[:] = [[x, y] if k else None for x, y, k in zip(lon.values.tolist(), lat.values.tolist(), ok.tolist())]
        return _Column(values, ok)
    if kind == "wigos_id":
        ok = parts[0].present & parts[1].present & parts[2].present & parts[3].present
        texts = []
        for series, issuer, number, local, k in zip(*(p.values.tolist() for p in parts), ok.tolist()):
            if not k or local is None or any(v != v for v in (series, issuer, number)):
                texts.append(None)
            else:
                texts.append(f"{int(series)}-{int(issuer)}-{int(number)}-{local}")
        values = np.array(texts, dtype=object)
        return _Column(values, np.array([t is not None for t in texts], dtype=bool))
    return _datetime(parts)


def _datetime(parts: list[_Column]) -> _Column:
    year, month, day, hour, minute, second = parts
    whole = [year.values, month.values, day.values]
    ok = year.present & month.present & day.present
    for part in whole:
        ok &= ~np.isnan(part)
    clock = []
    for part in (hour, minute, second):  # absent counts as 0; present but missing spoils the date
        ok &= ~(part.present & np.isnan(part.values))
        clock.append(np.where(part.present, np.nan_to_num(part.values), 0.0))
    y, m, d = (np.where(ok, np.nan_to_num(p), 1).astype(np.int64) for p in whole)
    ok &= (m >= 1) & (m <= 12) & (d >= 1) & (y >= 1) & (y <= 9999)
    m, y = np.where(ok, m, 1), np.where(ok, y, 1970)
    month_start = (y - 1970).astype("datetime64[Y]").astype("datetime64[M]") + (m - 1).astype("timedelta64[M]")
    date = month_start.astype("datetime64[D]") + (d - 1).astype("timedelta64[D]")
    ok &= date.astype("datetime64[M]") == month_start  # day 31 of a 30-day month
    micro = np.round((clock[0] * 3600 + clock[1] * 60 + clock[2]) * 1e6).astype(np.int64)
    values = date.astype("datetime64[ns]") + micro.astype("timedelta64[us]")
    values[~ok] = np.datetime64("NaT")
    return _Column(values, ok)


def match(condition: Any, values: np.ndarray, present: np.ndarray) -> np.ndarray:
    """Which values satisfy a filter condition (a missing value never does)."""
    present = present & _not_missing(values)
    mask = np.zeros(len(values), dtype=bool)
    idx = np.flatnonzero(present)
    if not len(idx):
        return mask
    chosen = values[idx]
    if isinstance(condition, slice) or (isinstance(condition, tuple) and len(condition) == 2):
        lo, hi = (condition.start, condition.stop) if isinstance(condition, slice) else condition
        ok = np.ones(len(idx), dtype=bool)
        if lo is not None:
            ok &= _compare(chosen, _like(lo, chosen), np.greater_equal)
        if hi is not None:
            ok &= _compare(chosen, _like(hi, chosen), np.less_equal)
    elif callable(condition):
        ok = _call_per_value(condition, chosen)
    elif isinstance(condition, (list, set, frozenset, tuple, np.ndarray)):
        wanted = [_like(v, chosen) for v in condition]
        ok = np.zeros(len(idx), dtype=bool)
        for v in wanted:
            ok |= _equal(chosen, v)
    else:
        ok = _equal(chosen, _like(condition, chosen))
    mask[idx] = ok
    return mask


def _not_missing(values: np.ndarray) -> np.ndarray:
    if values.dtype.kind == "f":
        return ~np.isnan(values)
    if values.dtype.kind == "M":
        return ~np.isnat(values)
    if values.dtype == object:
        return np.array([v is not None for v in values.tolist()], dtype=bool)
    return np.ones(len(values), dtype=bool)


def _like(value: Any, values: np.ndarray) -> Any:
    if values.dtype.kind == "M" and not isinstance(value, np.datetime64):
        import pandas as pd

        return np.datetime64(pd.Timestamp(value).to_datetime64(), "ns")
    return value


def _compare(values: np.ndarray, bound: Any, op: Callable[..., Any]) -> np.ndarray:
    if values.dtype == object:
        return np.array([bool(op(v, bound)) for v in values.tolist()], dtype=bool)
    return op(values, bound)


def _equal(values: np.ndarray, value: Any) -> np.ndarray:
    if values.dtype == object:
        return np.array([v == value for v in values.tolist()], dtype=bool)
    return np.asarray(values == value, dtype=bool)


def _call_per_value(condition: Callable[[Any], Any], values: np.ndarray) -> np.ndarray:
    if values.dtype == object:
        items = values.tolist()
        verdict: dict[Any, bool] = {}
        out = np.empty(len(items), dtype=bool)
        for i, v in enumerate(items):
            try:
                hit = verdict[v]
            except KeyError:
                hit = verdict[v] = bool(condition(v))
            except TypeError:  # unhashable (a geometry)
                hit = bool(condition(v))
            out[i] = hit
        return out
    distinct, inverse = np.unique(values, return_inverse=True)
    scalars = distinct.tolist() if values.dtype.kind != "M" else list(distinct)
    if values.dtype.kind == "f":  # whole numbers are passed as int, as a key's value reads in pdbufr
        scalars = [int(v) if v.is_integer() else v for v in scalars]
    return np.array([bool(condition(v)) for v in scalars], dtype=bool)[inverse]


def kept_messages(headers: Headers, filters: dict[str, Any]) -> np.ndarray | None:
    """The messages whose header fields pass the filters on header fields (None: there is none)."""
    header_filters = {k: v for k, v in filters.items() if k in headers}
    if not header_filters:
        return None
    keep = np.ones(len(headers.index), dtype=bool)
    for name, condition in header_filters.items():
        keep &= match(condition, headers.array(name), np.ones(len(keep), dtype=bool))
    return headers.index[keep]


def observation_rows(table: Any, columns: Any, filters: Any = None, required_columns: Any = None) -> Any:
    """The observation rows of a long ``Table`` (or ``TableStream``) as a pandas DataFrame (see
    the module's text)."""
    import pandas as pd

    request = Request(columns, filters, required_columns, HEADER_FIELDS)
    names = Names()
    walk = _Walk(len(request.walk))
    parts: dict[str, list[Any]] = {name: [] for name in request.columns}
    units: dict[str, str | None] = {}
    uses_headers = any(request.kind(name) == "header" for name in [*request.columns, *request.filters])
    for window in windows(table):
        # the header fields of every message cost more than a window's rows: made when asked for
        headers = Headers(window.headers()) if uses_headers else None
        kept = kept_messages(headers, request.filters) if headers is not None else None
        for piece in pieces(window, names):
            piece.note_units([names.ids[key] for key, _ in request.walk if key in names.ids])
            messages_kept = None if kept is None else np.isin(piece.message, kept)
            event_rows, sources, _ = _walk_piece(piece, names, request, walk, messages_kept)
            columns_here = _piece_columns(piece, names, request, headers, event_rows, sources)
            keep = np.ones(len(event_rows), dtype=bool)
            for name in request.required:
                keep &= columns_here[name].present
            for name, condition in request.filters.items():
                column = columns_here.get(name) or _one_column(piece, names, request, headers, event_rows, sources,
                                                               name)
                keep &= match(condition, column.values, column.present)
            for name in request.columns:
                parts[name].append(columns_here[name].values[keep])
            for key, _rank in request.walk:
                key_id = names.ids.get(key)
                if key_id is not None:
                    units[key] = names.units[key_id]
    frame = {}
    for name in request.columns:
        values = np.concatenate(parts[name]) if parts[name] else np.zeros(0)
        kind = request.kind(name)
        unit = units.get(parse_ranked(name)[0]) if kind == "data" else "Numeric" if kind == "computed" else None
        frame[name] = _finish(values, unit)
    return pd.DataFrame(frame, columns=request.columns)


def _piece_columns(piece: Piece, names: Names, request: Request, headers: Headers | None,
                   event_rows: np.ndarray, sources: np.ndarray) -> dict[str, _Column]:
    out = {}
    for name in request.columns:
        out[name] = _one_column(piece, names, request, headers, event_rows, sources, name)
    return out


def _one_column(piece: Piece, names: Names, request: Request, headers: Headers | None,
                event_rows: np.ndarray, sources: np.ndarray, name: str) -> _Column:
    kind = request.kind(name)
    n = len(event_rows)
    if kind == "header":
        assert headers is not None  # made for every call that names a header field
        values = headers.at(name, piece.message[event_rows])
        return _Column(values, np.ones(n, dtype=bool))
    if kind == "subset":
        return _Column(piece.subset[event_rows].astype(np.int64), np.ones(n, dtype=bool))
    inputs = [_data_column(piece, names, key, sources[request.walk.index((key, rank))])
              for key, rank in request.inputs(name)]
    if kind == "data":
        return inputs[0]
    return _computed(ALIASES.get(name, name), inputs)


def _finish(values: np.ndarray, unit: str | None) -> np.ndarray:
    """int64 for whole-number codes, counts and date parts that no row misses."""
    if unit in INTEGER_UNITS and values.dtype.kind == "f" and len(values):
        if not np.isnan(values).any() and (values == np.round(values)).all() and np.abs(values).max() < 2**62:
            return values.astype(np.int64)
    return values
