"""Finding an ecCodes definitions root when the caller names none.

The compiled module reads no environment variable; this is where the package looks on the
user's behalf. The first of these that is given decides where to look, and nothing later in
the list is consulted:

1. an explicit path given by the caller;
2. the ``NORVANE_DEFINITIONS`` environment variable (one directory);
3. ``ECCODES_DEFINITION_PATH`` (a colon-separated list, looked at in order, as ecCodes does);
4. when neither variable is set: the definitions that a Debian/Ubuntu (``libeccodes-data``),
   Homebrew, conda or ``/usr/local`` ecCodes installation puts on disk.

A root counts only if it holds ``bufr/tables``. A variable that is set but names no such
root therefore means "no ecCodes definitions" rather than "look elsewhere": pointing both
variables at an empty directory hides every installed ecCodes, and ``norvane.read()`` then
decodes with the tables bundled in the package. A variable that names nothing (empty, or
only separators) counts as unset.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

ENVIRONMENT_VARIABLE = "NORVANE_DEFINITIONS"
ECCODES_VARIABLE = "ECCODES_DEFINITION_PATH"

_INSTALLED_ROOTS = (
    Path(sys.prefix) / "share" / "eccodes" / "definitions",
    Path("/usr/share/eccodes/definitions"),
    Path("/usr/local/share/eccodes/definitions"),
    Path("/opt/homebrew/share/eccodes/definitions"),
)


class DefinitionsNotFound(LookupError):
    """No ecCodes definitions root with BUFR tables was found where the rules say to look."""


def _has_bufr_tables(root: Path) -> bool:
    return (root / "bufr" / "tables").is_dir()


def candidate_roots(explicit: str | os.PathLike[str] | None = None) -> list[tuple[str, Path]]:
    """Every place that ``find_definitions_root(explicit)`` looks at, in order, as (where it came from, path)."""
    if explicit is not None:
        return [("the given path", Path(explicit))]
    own = os.environ.get(ENVIRONMENT_VARIABLE)
    if own:
        return [(ENVIRONMENT_VARIABLE, Path(own))]
    theirs = [entry for entry in os.environ.get(ECCODES_VARIABLE, "").split(os.pathsep) if entry]
    if theirs:
        return [(ECCODES_VARIABLE, Path(entry)) for entry in theirs]
    return [("installed ecCodes data", root) for root in _INSTALLED_ROOTS]


def find_definitions_root(explicit: str | os.PathLike[str] | None = None) -> str:
    """The first candidate root (see ``candidate_roots``) that holds ``bufr/tables``.

    Raises ``DefinitionsNotFound``, naming every place looked at, when none does; an explicit
    path or a set environment variable is never replaced by an installed root.
    """
    candidates = candidate_roots(explicit)
    for _, root in candidates:
        if _has_bufr_tables(root):
            return str(root)
    if explicit is not None:
        raise DefinitionsNotFound(f"{explicit} is not an ecCodes definitions root (no bufr/tables in it)")
    looked = "\n".join(f"  {root}  ({source})" for source, root in candidates)
    if candidates and candidates[0][0] != "installed ecCodes data":
        hint = f"{candidates[0][0]} is set, so installed ecCodes data was not looked at."
    else:
        hint = (f"Set {ENVIRONMENT_VARIABLE} or {ECCODES_VARIABLE}, or install ecCodes' data "
                "(Debian/Ubuntu: apt-get install libeccodes-data).")
    raise DefinitionsNotFound(f"no ecCodes definitions root with bufr/tables found; looked at:\n{looked}\n{hint}")
