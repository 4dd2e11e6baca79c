"""Choosing the tables of each message during one read, loading each table set once.

A message's tables follow from its section 1: master table, master and local table versions,
centre and sub-centre (the table key). Every key is loaded at most once per read, from an
ecCodes definitions root when one is given or found, else from the WMO tables bundled in the
package; or one caller's ``TableSet`` serves every message.
"""

from __future__ import annotations

import functools

import os
import sys
import warnings
from collections.abc import Callable

from norvane import _reader
from norvane._norvane import TableSet
from norvane.definitions import DefinitionsNotFound, find_definitions_root

# master table << 48 | master version << 40 | local version << 32 | centre << 16 | sub-centre,
# as norvane._reader packs it
TableKey = int

_NO_LOCAL_TABLES = (0, 255)  # local version 0: none used; 255: the missing value


def _outside_package() -> int:
    """The stack level of the first caller outside this package, for a warning to point at."""
    level, frame = 1, sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE_DIR):
        level, frame = level + 1, frame.f_back
    return level


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


class TablesWarning(UserWarning):
    """A message asks for local tables that are not available; it is decoded with the master tables alone."""


class TableCache(dict):
    """The table sets of one read, by table key: a dict of the loaded ones, as (TableSet, source),
    and of the keys that failed, as the loader's text, which the compiled messages look up
    directly.

    ``tables``: one set for every message. ``definitions``: an ecCodes definitions root (an
    invalid one raises ``DefinitionsNotFound`` here). Neither: the root that
    ``find_definitions_root()`` finds, else the bundled WMO tables.
    """

    def __init__(self, tables: TableSet | None = None, definitions: str | os.PathLike[str] | None = None) -> None:
        super().__init__()
        if tables is not None and definitions is not None:
            raise TypeError("read() takes tables or definitions, not both")
        if tables is not None and not isinstance(tables, TableSet):
            raise TypeError(f"tables must be a norvane.TableSet, not {type(tables).__name__}")
        self.loads = 0
        self._given = tables
        self._root: str | None = None
        self._not_found: DefinitionsNotFound | None = None
        if tables is None:
            try:
                self._root = find_definitions_root(definitions)
            except DefinitionsNotFound as error:
                if definitions is not None:
                    raise
                self._not_found = error

    def tables_for(self, key: TableKey, where: Callable[[], str]) -> tuple[TableSet, str]:
        """The table set of ``key`` and where it came from; loaded on first use.

        ``where()`` names the first message that needs the key, for the local-tables warning.
        Raises ``ValueError`` with the loader's text when the tables cannot be loaded (every
        time the key is asked for, without loading again), and ``DefinitionsNotFound`` when
        there are neither definitions nor bundled tables.
        """
        found = dict.get(self, key)
        if found is None:
            found = self[key] = self._load(key, where)
        if isinstance(found, str):
            raise ValueError(found)
        return found

    def _load(self, key: TableKey, where: Callable[[], str]) -> tuple[TableSet, str] | str:
        if self._given is not None:
            return self._given, "the TableSet given to read()"
        master_table, master_version, local_version = key >> 48, key >> 40 & 0xFF, key >> 32 & 0xFF
        centre, subcentre = key >> 16 & 0xFFFF, key & 0xFFFF
        if self._root is None:
            tables, source = self._bundled()
            has_local = False
        else:
            try:
                tables, master_dir, local_dir = _load_definitions(
                    self._root, master_table, master_version, local_version, centre, subcentre)
            except ValueError as error:
                return str(error)
            source = f"ecCodes {master_dir}" + (f" + local {local_dir}" if local_dir else "")
            has_local = local_dir is not None
        self.loads += 1
        if local_version not in _NO_LOCAL_TABLES and not has_local:
            warnings.warn(
                TablesWarning(
                    f"{where()} asks for local tables version {local_version} of centre {centre} sub-centre "
                    f"{subcentre}, which {source} does not have; it is decoded with the master tables only"
                ),
                stacklevel=_outside_package(),
            )
        return tables, source

    def _bundled(self) -> tuple[TableSet, str]:
        try:
            from norvane.bundled import BUNDLED_SOURCE, bundled_tables
        except ImportError:
            raise DefinitionsNotFound(f"{self._not_found}\nand this norvane has no bundled tables") from None
        return bundled_tables(), BUNDLED_SOURCE


@functools.lru_cache(maxsize=32)
def _load_definitions(root: str, master_table: int, master_version: int, local_version: int, centre: int,
                      subcentre: int) -> tuple[TableSet, str, str | None]:
    """The tables of one key from an ecCodes definitions root, kept for the process: reading
    file after file, or one message at a time, then parses each table directory once. A table
    set is never changed once loaded, so reads share it; a failed load is not kept."""
    return _reader.load_tables(root, master_table, master_version, local_version, centre, subcentre)
