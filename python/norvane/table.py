"""PROVISIONAL pure-Python long table, replaced by the compiled one before release.

Gives helpers the final API to build on: ``read_table(source, ...)`` -> ``Table``.
"""

from __future__ import annotations

import re
from typing import Any

from norvane.reader import ReadError, SkippedMessage, read

COLUMNS = ("message", "subset", "descriptor", "key", "value", "raw", "text", "meaning", "unit")
HEADER_FIELDS = ("message", "offset", "edition", "master_table", "centre", "subcentre", "data_category",
                 "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
                 "typical_datetime", "number_of_subsets", "observed", "compressed", "table_source")
_WORD = re.compile(r"[A-Za-z0-9]+")


def camel_key(name: str, code: int) -> str:
    words = _WORD.findall(name)
    if not words:
        return f"element{code:06d}"
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


class Table:
    def __init__(self, arrow: Any, skipped: list[SkippedMessage], headers: dict[str, list[Any]]) -> None:
        self._arrow = arrow
        self.skipped = skipped
        self._headers = headers

    def headers(self) -> dict[str, list[Any]]:
        """One entry per decoded message, in table order: the header fields by name."""
        return self._headers

    @property
    def num_rows(self) -> int:
        return self._arrow.num_rows

    def __len__(self) -> int:
        return self._arrow.num_rows

    @property
    def column_names(self) -> list[str]:
        return list(COLUMNS)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._arrow.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        return self._arrow

    def to_pandas(self) -> Any:
        return self._arrow.to_pandas()

    def to_polars(self) -> Any:
        import polars

        return polars.from_arrow(self._arrow)


def _rows(message: Any, values: list[Any], tables: Any, out: dict[str, list[Any]]) -> None:
    # subsets: the provisional version needs one subset's length; it takes equal lengths
    per_subset = len(values) // max(message.number_of_subsets, 1)
    for i, v in enumerate(values):
        out["message"].append(message.index)
        out["subset"].append(i // per_subset if per_subset else 0)
        out["descriptor"].append(v.descriptor)
        element = tables.get_element(v.descriptor) if v.name not in ("operator", "associatedField") else None
        key = (element.abbreviation or camel_key(element.name, v.descriptor)) if element else v.name
        out["key"].append(key)
        out["value"].append(None if v.raw is None else v.raw_value)
        out["raw"].append(v.raw)
        out["text"].append(v.raw_text)
        out["meaning"].append(v.raw_meaning)
        out["unit"].append(element.unit if element else None)


def read_table(source: Any, *, tables: Any = None, definitions: Any = None, errors: str = "raise",
               threads: int = 1, layout: str = "long", columns: Any = None, filters: Any = None,
               required_columns: Any = None) -> Any:
    import pyarrow as pa

    out: dict[str, list[Any]] = {c: [] for c in COLUMNS}
    reader = read(source, tables=tables, definitions=definitions, errors=errors)
    skipped: list[SkippedMessage] = []
    headers: dict[str, list[Any]] = {name: [] for name in HEADER_FIELDS}
    with reader:
        for message in reader:
            try:
                values = message.decode()
            except ReadError as error:
                if errors == "raise":
                    raise
                skipped.append(SkippedMessage(error.index, error.offset, str(error)))
                continue
            _rows(message, values, message._tables()[0], out)
            for name in HEADER_FIELDS:
                headers[name].append(getattr(message, "index" if name == "message" else name))
        skipped = sorted(skipped + reader.skipped, key=lambda s: s.index)
    dictionary = pa.dictionary(pa.int32(), pa.string())
    schema = pa.schema([("message", pa.int32()), ("subset", pa.int32()), ("descriptor", pa.int32()),
                        ("key", dictionary), ("value", pa.float64()), ("raw", pa.uint64()), ("text", dictionary),
                        ("meaning", dictionary), ("unit", dictionary)])
    table = Table(pa.table(out, schema=schema), skipped, headers)
    from norvane.layouts import arrange

    return arrange(table, layout, columns, filters, required_columns)
