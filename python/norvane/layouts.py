"""What ``read_table`` returns for its ``layout``, ``columns``, ``filters`` and ``required_columns``."""

from __future__ import annotations

from typing import Any


def is_long(layout: str, columns: Any, filters: Any, required_columns: Any) -> bool:
    """Whether the arguments ask for the long table itself."""
    if layout not in ("long", "flat"):
        raise ValueError(f"layout must be 'long' or 'flat', not {layout!r}")
    return layout == "long" and columns is None and filters is None and required_columns is None


def arrange(table: Any, layout: str = "long", columns: Any = None, filters: Any = None,
            required_columns: Any = None) -> Any:
    """The long ``table`` itself; observation rows when columns or filters are given
    (``norvane.rows``); one row per subset for ``layout="flat"`` (``norvane.flat``). ``table``
    is a ``Table`` or a ``TableStream``, which the layouts read a window at a time. A frame keeps
    the skipped messages (``errors="skip"``) in ``frame.attrs["skipped"]``."""
    if is_long(layout, columns, filters, required_columns):
        return table
    if layout == "flat":
        from norvane.flat import flat_frame

        frame = flat_frame(table, columns, filters, required_columns)
    else:
        from norvane.rows import observation_rows

        frame = observation_rows(table, columns, filters, required_columns)
    frame.attrs["skipped"] = list(table.skipped)
    return frame
