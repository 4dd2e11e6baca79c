"""The WMO BUFR4 tables shipped inside the package, used when no ecCodes definitions are found.

They are one ecCodes table directory (``bundled_tables/``: Table B, Table D and the code and
flag tables) written by ``tools/make_bundled_tables.py`` from WMO's own CSV files, under WMO's
MIT license (``bundled_tables/LICENSE.md``), with ecCodes' element keys (``airTemperature``;
Apache 2.0, ``bundled_tables/NOTICE.md``). Local tables are not included.

Since master version 19 the WMO has only added entries: ecCodes' tables of versions 19 to 39
agree with these on every element and sequence they define (bar one corrected reference value,
015083 in 36 and 37), so the latest tables decode messages that declare any of those versions.
Messages that declare an older version may use elements that were widened since (014002 went
from 12 to 17 bits); ecCodes definitions, which keep every version, decode those.

Importing this module reads nothing; the first ``bundled_tables()`` call loads the tables
(a few milliseconds) and every later call, from any thread, returns the same ``TableSet``.
"""

from __future__ import annotations

import threading
from pathlib import Path

from norvane._norvane import TableSet

#: The WMO BUFR4 master table version of the bundled tables.
BUNDLED_VERSION: int = 46
#: How messages decoded with the bundled tables name their table source.
BUNDLED_SOURCE: str = f"bundled WMO BUFR4 tables, version {BUNDLED_VERSION}"
#: The table directory itself, for ``TableSet.from_eccodes`` or ``decode_values``.
BUNDLED_TABLES_DIR: Path = Path(__file__).resolve().parent / "bundled_tables"

_lock = threading.Lock()
_tables: TableSet | None = None


def bundled_tables() -> TableSet:
    """The bundled WMO tables, loaded on the first call and shared by every later one.

    Raises ``ValueError`` if the package's table files are missing or damaged.
    """
    global _tables
    tables = _tables
    if tables is None:
        with _lock:
            if _tables is None:
                _tables = TableSet.from_eccodes(str(BUNDLED_TABLES_DIR))
            tables = _tables
    return tables
