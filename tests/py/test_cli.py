"""The package's own layer: finding a definitions root and the command line."""

import os
from pathlib import Path

import pytest

import norvane
from norvane.__main__ import main
from norvane.definitions import DefinitionsNotFound, find_definitions_root

from bufr_writer import build_message, pack_bits

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "synop.bufr"
DEBIAN_ROOT = Path("/usr/share/eccodes/definitions")


def make_root(path: Path) -> Path:
    (path / "bufr" / "tables").mkdir(parents=True)
    return path


@pytest.fixture
def clean_env(monkeypatch):
    monkeypatch.delenv("NORVANE_DEFINITIONS", raising=False)
    monkeypatch.delenv("ECCODES_DEFINITION_PATH", raising=False)
    return monkeypatch


def test_root_order_explicit_then_ours_then_eccodes(tmp_path, clean_env):
    explicit, ours, theirs = (make_root(tmp_path / name) for name in ("explicit", "ours", "theirs"))
    clean_env.setenv("ECCODES_DEFINITION_PATH", f"{tmp_path / 'nothing'}{os.pathsep}{theirs}")
    assert find_definitions_root() == str(theirs)
    clean_env.setenv("NORVANE_DEFINITIONS", str(ours))
    assert find_definitions_root() == str(ours)
    assert find_definitions_root(explicit) == str(explicit)


def test_explicit_root_without_tables_is_an_error(tmp_path, clean_env):
    with pytest.raises(DefinitionsNotFound, match="no bufr/tables"):
        find_definitions_root(tmp_path)


def test_nothing_found_names_every_place_looked_at(tmp_path, clean_env, monkeypatch):
    monkeypatch.setattr(norvane.definitions, "_INSTALLED_ROOTS", (tmp_path / "a", tmp_path / "b"))
    clean_env.setenv("NORVANE_DEFINITIONS", str(tmp_path / "mine"))
    with pytest.raises(DefinitionsNotFound) as caught:
        find_definitions_root()
    text = str(caught.value)
    for place in ("mine", "a", "b", "NORVANE_DEFINITIONS", "libeccodes-data"):
        assert place in text


def test_iter_message_bytes_skips_junk_and_stops_at_a_truncated_marker():
    one = build_message([1001], pack_bits([(5, 7)]))
    two = build_message([1002], pack_bits([(9, 10)]))
    data = b"junk" + one + b"\n" + two + b"BUFR\x00\x10"
    assert list(norvane.iter_message_bytes(data)) == [one, two]


@pytest.mark.skipif(not (DEBIAN_ROOT / "bufr" / "tables").is_dir(), reason="no ecCodes definitions installed")
def test_command_line_decodes_the_example(capsys, clean_env):
    assert main(["--definitions", str(DEBIAN_ROOT), str(EXAMPLE)]) == 0
    out = capsys.readouterr().out
    assert "message 1: BufrMessage(edition=4, length=136, subsets=2" in out
    assert "BERLIN-TEMPELHOF" in out and "KOEBENHAVN/KASTRUP" in out
    assert "275.35" in out and "MISSING VALUE" in out


def test_command_line_headers_need_no_tables(capsys, clean_env, monkeypatch):
    monkeypatch.setattr(norvane.definitions, "_INSTALLED_ROOTS", ())
    assert main(["--headers", str(EXAMPLE)]) == 0
    assert capsys.readouterr().out.startswith("message 1: BufrMessage(edition=4")


def test_command_line_reports_a_decode_failure(tmp_path, capsys, clean_env):
    bad = tmp_path / "bad.bufr"
    bad.write_bytes(build_message([1001], pack_bits([(5, 7)])))
    tables = tmp_path / "tables"
    (tables).mkdir()
    (tables / "element.table").write_text("")
    (tables / "sequence.def").write_text("")
    assert main(["--tables", str(tables), str(bad)]) == 1
    assert "descriptor 001001 was not found in Table B" in capsys.readouterr().err
