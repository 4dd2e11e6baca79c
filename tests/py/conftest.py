"""Shared test data and paths. The corpus is NORVANE_CORPUS, else <root>/shared/corpus beside
the repository at <root>/main. Data from outside the repository (the corpus, ecCodes'
definitions and Python bindings) is required when CI is set or NORVANE_CORPUS is: a test
that needs it then fails instead of skipping, so no test can vanish from a CI run."""

import csv
import importlib
import os
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
CORPUS = Path(os.environ.get("NORVANE_CORPUS") or TESTS.parents[2] / "shared" / "corpus")
DEFINITIONS = Path("/usr/share/eccodes/definitions")
DATA_REQUIRED = bool(os.environ.get("CI")) or bool(os.environ.get("NORVANE_CORPUS"))
CORPUS_EXPECTED = DATA_REQUIRED
# The sanitizer run preloads the ASan runtime into an interpreter not built with it: libraries
# whose own C++ code throws (matplotlib's font module) then fail in its exception interceptor.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
sys.path.insert(0, str(TESTS))  # bufr_writer, however pytest was started


def _missing(what):
    if DATA_REQUIRED:
        pytest.fail(f"{what} is not available, and CI or NORVANE_CORPUS requires it", pytrace=False)
    pytest.skip(f"{what} is not available", allow_module_level=True)


def require(path: Path) -> Path:
    """``path`` (data outside the repository) when it exists; otherwise skips the caller, or fails it."""
    if not path.exists():
        _missing(path)
    return path


def require_module(name: str):
    """The imported module, or a skip (a failure when data is required) of the caller."""
    try:
        return importlib.import_module(name)
    except ImportError:
        _missing(f"Python module {name}")


def corpus_rows(name: str) -> list[dict[str, str]]:
    """The rows of the corpus's tab-separated file ``name``, which must exist (see require)."""
    with require(CORPUS / name).open(newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def pytest_report_header(config):
    from norvane import _norvane

    return [f"norvane._norvane: {_norvane.__file__}",
            f"corpus: {CORPUS} ({'required' if DATA_REQUIRED else 'skipped when absent'})"]


def pytest_sessionstart(session):
    # A sanitizer run points this at its own build, so testing the installed module by mistake fails loudly.
    expected = os.environ.get("NORVANE_EXPECT_MODULE_DIR")
    if expected:
        from norvane import _norvane

        if Path(_norvane.__file__).resolve().parent != Path(expected).resolve():
            raise pytest.UsageError(f"imported {_norvane.__file__}, expected a module in {expected}")
