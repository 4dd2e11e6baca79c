"""Paths shared by the tests: the repository sits at <root>/main, the shared data at <root>/shared."""

import os
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
REPO = TESTS.parents[1]
SHARED = REPO.parent / "shared"
CORPUS = SHARED / "corpus"

# bufr_writer sits next to the tests; make it importable however pytest was started.
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


def require(path: Path) -> Path:
    """Skips the calling test when ``path`` does not exist (data outside the repository)."""
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path


@pytest.fixture(scope="session")
def corpus() -> Path:
    return require(CORPUS)


def pytest_report_header(config):
    from norvane import _norvane

    return f"norvane._norvane: {_norvane.__file__}"


def pytest_sessionstart(session):
    # A sanitizer run points this at its own build, so testing the installed module by
    # mistake fails loudly instead of passing quietly.
    expected = os.environ.get("NORVANE_EXPECT_MODULE_DIR")
    if expected:
        from norvane import _norvane

        if Path(_norvane.__file__).resolve().parent != Path(expected).resolve():
            raise pytest.UsageError(f"imported {_norvane.__file__}, expected a module in {expected}")
