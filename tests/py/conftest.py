"""Paths shared by the tests: the repository sits at <root>/main, the shared data at <root>/shared."""

import os
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
# NORVANE_CORPUS names the corpus; set (or under CI) it also says the corpus must be there.
CORPUS = Path(os.environ.get("NORVANE_CORPUS") or TESTS.parents[2] / "shared" / "corpus")
CORPUS_EXPECTED = bool(os.environ.get("CI") or os.environ.get("NORVANE_CORPUS"))
sys.path.insert(0, str(TESTS))  # bufr_writer, however pytest was started


def require(path: Path) -> Path:
    """Skips the calling test when ``path`` (data outside the repository) does not exist, or
    fails it when the corpus is expected (CORPUS_EXPECTED)."""
    if not path.exists():
        (pytest.fail if CORPUS_EXPECTED else pytest.skip)(f"{path} is not available")
    return path


def pytest_report_header(config):
    from norvane import _norvane

    return f"norvane._norvane: {_norvane.__file__}"


def pytest_sessionstart(session):
    # A sanitizer run points this at its own build, so testing the installed module by mistake fails loudly.
    expected = os.environ.get("NORVANE_EXPECT_MODULE_DIR")
    if expected:
        from norvane import _norvane

        if Path(_norvane.__file__).resolve().parent != Path(expected).resolve():
            raise pytest.UsageError(f"imported {_norvane.__file__}, expected a module in {expected}")
