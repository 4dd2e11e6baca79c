"""Finding an ecCodes definitions root when the caller names none.

The compiled module reads no environment variable; this is where the package looks on the
user's behalf, in this order:

1. an explicit path given by the caller;
2. the ``NORVANE_DEFINITIONS`` environment variable;
3. ``ECCODES_DEFINITION_PATH`` (each entry of the colon-separated list, in order);
4. the definitions that a Debian/Ubuntu (``libeccodes-data``), Homebrew, conda or
   ``/usr/local`` ecCodes installation puts on disk.

A root counts only if it holds ``bufr/tables``.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

ENVIRONMENT_VARIABLE = "NORVANE_DEFINITIONS"

_INSTALLED_ROOTS = (
    Path(sys.prefix) / "share" / "eccodes" / "definitions",
    Path("/usr/share/eccodes/definitions"),
    Path("/usr/local/share/eccodes/definitions"),
    Path("/opt/homebrew/share/eccodes/definitions"),
)


class DefinitionsNotFound(LookupError):
    """No ecCodes definitions root with BUFR tables was found."""


def _has_bufr_tables(root: Path) -> bool:
    return (root / "bufr" / "tables").is_dir()


def candidate_roots(explicit: str | os.PathLike[str] | None = None) -> list[tuple[str, Path]]:
    """Every place looked at, in order, as (where it came from, path)."""
    candidates: list[tuple[str, Path]] = []
    if explicit is not None:
        candidates.append(("the given path", Path(explicit)))
    own = os.environ.get(ENVIRONMENT_VARIABLE)
    if own:
        candidates.append((ENVIRONMENT_VARIABLE, Path(own)))
    for entry in os.environ.get("ECCODES_DEFINITION_PATH", "").split(os.pathsep):
        if entry:
            candidates.append(("ECCODES_DEFINITION_PATH", Path(entry)))
    candidates.extend(("installed ecCodes data", root) for root in _INSTALLED_ROOTS)
    return candidates


def find_definitions_root(explicit: str | os.PathLike[str] | None = None) -> str:
    """The first candidate root that holds ``bufr/tables``.

    An explicit path that does not hold BUFR tables is an error rather than silently
    replaced by another root.
    """
    candidates = candidate_roots(explicit)
    if explicit is not None:
        root = candidates[0][1]
        if _has_bufr_tables(root):
            return str(root)
        raise DefinitionsNotFound(f"{root} is not an ecCodes definitions root (no bufr/tables in it)")
    for _, root in candidates:
        if _has_bufr_tables(root):
            return str(root)
    looked = "\n".join(f"  {root}  ({source})" for source, root in candidates)
    raise DefinitionsNotFound(
        "no ecCodes definitions root with bufr/tables found; looked at:\n"
        f"{looked}\n"
        f"Set {ENVIRONMENT_VARIABLE} or ECCODES_DEFINITION_PATH, or install ecCodes' data "
        "(Debian/Ubuntu: apt-get install libeccodes-data)."
    )
