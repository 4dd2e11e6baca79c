"""What ``read_table`` returns for its ``layout``, ``columns``, ``filters`` and ``required_columns``."""

from __future__ import annotations

from typing import Any


def arrange(table: Any, layout: str = "long", columns: Any = None, filters: Any = None,
            required_columns: Any = None) -> Any:
    """The long ``table`` itself; observation rows when columns or filters are given
    (``norvane.rows``); one row per subset for ``layout="flat"`` (``norvane.flat``)."""
    if layout == "flat":
        from norvane.flat import flat_frame

        return flat_frame(table, columns, filters, required_columns)
    if layout != "long":
        raise ValueError(f"layout must be 'long' or 'flat', not {layout!r}")
    if columns is None and filters is None and required_columns is None:
        return table
    from norvane.rows import observation_rows

    return observation_rows(table, columns, filters, required_columns)
