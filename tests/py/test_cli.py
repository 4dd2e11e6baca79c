"""The package's own layer: finding a definitions root, splitting bytes, and the command line."""

import os
from pathlib import Path

import pytest

import norvane
from bufr_writer import build_message, write_table_dir
from norvane.__main__ import main
from norvane.definitions import DefinitionsNotFound, find_definitions_root

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "synop.bufr"
INSTALLED = Path("/usr/share/eccodes/definitions")


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("NORVANE_DEFINITIONS", raising=False)
    monkeypatch.delenv("ECCODES_DEFINITION_PATH", raising=False)
    monkeypatch.setattr(norvane.definitions, "_INSTALLED_ROOTS", ())
    return monkeypatch


def test_root_order_explicit_then_ours_then_eccodes_then_installed(tmp_path, env):
    explicit, ours, theirs, installed = (tmp_path / name for name in ("explicit", "ours", "theirs", "installed"))
    for root in (explicit, ours, theirs, installed):
        (root / "bufr/tables").mkdir(parents=True)
    env.setattr(norvane.definitions, "_INSTALLED_ROOTS", (tmp_path / "none", installed))
    assert find_definitions_root() == str(installed)
    env.setenv("ECCODES_DEFINITION_PATH", f"{tmp_path / 'nothing'}{os.pathsep}{theirs}")
    assert find_definitions_root() == str(theirs)
    env.setenv("NORVANE_DEFINITIONS", str(ours))
    assert find_definitions_root() == str(ours)
    assert find_definitions_root(explicit) == str(explicit)
    with pytest.raises(DefinitionsNotFound, match="no bufr/tables"):
        find_definitions_root(tmp_path)  # an explicit root is never replaced by another


@pytest.mark.parametrize("variables, looked_at", [
    ({"NORVANE_DEFINITIONS": "empty"}, ["empty"]),
    ({"ECCODES_DEFINITION_PATH": "empty:also-empty"}, ["empty", "also-empty"]),
    ({"NORVANE_DEFINITIONS": "empty", "ECCODES_DEFINITION_PATH": "good"}, ["empty"]),
    ({"NORVANE_DEFINITIONS": "", "ECCODES_DEFINITION_PATH": ":"}, ["installed-a", "installed-b"]),  # count as unset
])
def test_a_set_variable_is_the_only_place_looked_at(tmp_path, env, variables, looked_at):
    (tmp_path / "good/bufr/tables").mkdir(parents=True)
    env.setattr(norvane.definitions, "_INSTALLED_ROOTS", (tmp_path / "installed-a", tmp_path / "installed-b"))
    for name, value in variables.items():
        env.setenv(name, os.pathsep.join(str(tmp_path / v) if v else "" for v in value.split(":")))
    with pytest.raises(DefinitionsNotFound) as caught:
        find_definitions_root()
    text = str(caught.value)
    assert [line.split()[0] for line in text.splitlines()[1:-1]] == [str(tmp_path / p) for p in looked_at]
    assert ("so installed ecCodes data was not looked at" in text) == ("installed-a" not in looked_at)


def test_iter_message_bytes_skips_junk_and_stops_at_a_truncated_marker():
    one, two = build_message([1001], [(5, 7)]), build_message([1002], [(9, 10)])
    assert list(norvane.iter_message_bytes(b"junk" + one + b"\n" + two + b"BUFR\x00\x10")) == [one, two]
    assert list(norvane.iter_message_bytes(b"BUFR\x00\x00\x00\x04" + one)) == []


@pytest.mark.skipif(not (INSTALLED / "bufr/tables").is_dir(), reason="no ecCodes definitions installed")
def test_command_line_decodes_the_example(capsys, env):
    assert main(["--definitions", str(INSTALLED), str(EXAMPLE)]) == 0
    out = capsys.readouterr().out
    assert "message 1: BufrMessage(edition=4, length=136, subsets=2" in out
    assert all(text in out for text in ("BERLIN-TEMPELHOF", "KOEBENHAVN/KASTRUP", "275.35", "MISSING VALUE"))
    assert main(["--headers", str(EXAMPLE)]) == 0  # no tables needed, none found
    assert capsys.readouterr().out.startswith("message 1: BufrMessage(edition=4")


def test_command_line_reports_a_decode_failure(tmp_path, capsys, env):
    (tmp_path / "bad.bufr").write_bytes(build_message([1001], [(5, 7)]))
    assert main(["--tables", str(write_table_dir(tmp_path / "tables")), str(tmp_path / "bad.bufr")]) == 1
    assert "descriptor 001001 was not found in Table B" in capsys.readouterr().err
    assert main([str(tmp_path / "bad.bufr")]) == 2  # no definitions root anywhere
