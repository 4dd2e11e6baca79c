"""What ``read_table`` returns for its ``layout``, ``columns``, ``filters`` and ``required_columns``."""

from __future__ import annotations

from typing import Any


def arrange(table: Any, layout: str = "long", columns: Any = None, filters: Any = None,
            required_columns: Any = None) -> Any:
    """The long ``table`` itself; observation rows when columns or filters are given
    (``norvane.rows``); one row per subset for ``layout="flat"`` (``norvane.flat``). A frame
    keeps the table's skipped messages (``errors="skip"``) in ``frame.attrs["skipped"]``."""
    if layout == "flat":
        from norvane.flat import flat_frame

        frame = flat_frame(table, columns, filters, required_columns)
    elif layout != "long":
        raise ValueError(f"layout must be 'long' or 'flat', not {layout!r}")
    elif columns is None and filters is None and required_columns is None:
        return table
    else:
        from norvane.rows import observation_rows

        frame = observation_rows(table, columns, filters, required_columns)
    frame.attrs["skipped"] = list(table.skipped)
    return frame
