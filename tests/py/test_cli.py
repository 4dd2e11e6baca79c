"""The package's own layer: finding a definitions root, splitting bytes, and the command line."""

import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

import norvane
import norvane.__main__
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


# ---- the command line -----------------------------------------------------------------------

GOOD = EXAMPLE.read_bytes()  # two subsets, master version 35, no local tables


def run(*argv, stdin=b"", env_vars=None, tmp=None):
    """The command line in a child process with no ecCodes definitions visible."""
    hidden = {"NORVANE_DEFINITIONS": str(tmp), "ECCODES_DEFINITION_PATH": str(tmp)} if tmp else {}
    return subprocess.run([sys.executable, "-m", "norvane", *map(str, argv)], input=stdin, capture_output=True,
                          env={**os.environ, **hidden, **(env_vars or {})}, check=False)


def test_decodes_the_example_with_the_bundled_tables(capsys, env):
    assert main(["--verbose", str(EXAMPLE)]) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("message 0 at offset 0: edition 4, 136 octets, 2 subsets, uncompressed")
    assert f"  tables: {norvane.bundled.BUNDLED_SOURCE}\n" in captured.out
    assert all(text in captured.out for text in ("BERLIN-TEMPELHOF", "KOEBENHAVN/KASTRUP", "275.35", "2026-12-06 06:00"))
    assert captured.err == f"norvane: {EXAMPLE}: 1 message read, 0 skipped, 1 table set loaded\n"


def test_the_edition3_example_holds_the_edition4_values_but_the_year(env):
    (ed4,), (ed3,) = norvane.read(EXAMPLE), norvane.read(EXAMPLE.with_name("synop_ed3.bufr"))
    assert (ed3.edition, ed3.international_subcategory, ed3.typical_datetime.isoformat()) == (
        3, None, "2024-12-06T06:00:00")

    def records(message):
        return [(v.descriptor, v.raw_value, v.raw_text, v.raw_meaning) for v in message.decode() if v.descriptor != 4001]

    assert records(ed3) == records(ed4)


@pytest.mark.skipif(not (INSTALLED / "bufr/tables").is_dir(), reason="no ecCodes definitions installed")
def test_given_definitions_win_over_the_bundled_tables(capsys, env):
    assert main(["--verbose", "--definitions", str(INSTALLED), str(EXAMPLE)]) == 0
    out = capsys.readouterr().out
    assert "  tables: " in out and norvane.bundled.BUNDLED_SOURCE not in out
    assert "MISSING VALUE" in out  # ecCodes' code table text for 020003 = 511


BAD_INPUTS = {  # name: (contents, messages printed with --errors raise, with --errors skip)
    "empty": (b"", 0, 0),
    "text": (b"this is not BUFR\n" * 10, 0, 0),
    "random": (bytes(range(256)) * 4, 0, 0),
    "truncated": (GOOD[: len(GOOD) // 2], 0, 0),
    "cut after a good one": (GOOD + GOOD[:100], 1, 1),
    "broken between good ones": (GOOD + GOOD[:60] + b"7777" + GOOD, 1, 2),
}


@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("name", BAD_INPUTS)
def test_bad_input_is_reported_with_a_nonzero_status(tmp_path, capsys, env, name, errors):
    path = tmp_path / "input.bufr"
    contents, printed_raise, printed_skip = BAD_INPUTS[name]
    path.write_bytes(contents)
    assert main(["--headers", "--errors", errors, str(path)]) == 1
    captured = capsys.readouterr()
    assert captured.err.startswith(f"norvane: {path}: ") and captured.err.count("\n") == 1
    assert captured.out.count("message ") == (printed_raise if errors == "raise" else printed_skip)


def test_octets_outside_messages_are_no_error(tmp_path, capsys, env):
    (tmp_path / "enveloped.bufr").write_bytes(b"ISMD01 OKPR 060600\r\r\n" + GOOD + b"\r\r\n\x03junk")
    assert main(["--headers", "--verbose", str(tmp_path / "enveloped.bufr")]) == 0
    assert capsys.readouterr().err.splitlines()[:2] == [
        f"norvane: {tmp_path / 'enveloped.bufr'}: 21 octets at offset 0 belong to no message",
        f"norvane: {tmp_path / 'enveloped.bufr'}: 8 octets at offset 157 belong to no message"]


def test_a_decode_failure_is_reported(tmp_path, capsys, env):
    (tmp_path / "bad.bufr").write_bytes(build_message([1001], [(5, 7)]) * 2)
    tables = str(write_table_dir(tmp_path / "tables"))
    assert main(["--tables", tables, str(tmp_path / "bad.bufr")]) == 1
    assert capsys.readouterr().err.count("descriptor 001001 was not found in Table B") == 1  # raise: stop there
    assert main(["--errors", "skip", "--tables", tables, str(tmp_path / "bad.bufr")]) == 1
    assert capsys.readouterr().err.count("descriptor 001001 was not found in Table B") == 2


@pytest.mark.parametrize("argv, status, err", [
    (["--tables", "/nonexistent"], 2, "norvane: csv/table parse error"),
    (["--definitions", "/nonexistent"], 2, "norvane: /nonexistent is not an ecCodes definitions root"),
    (["--limit", "-1"], 2, "--limit must not be negative"),
])
def test_option_errors(capsys, env, argv, status, err):
    try:
        assert main([*argv, str(EXAMPLE)]) == status
    except SystemExit as exit:  # argparse's own errors
        assert exit.code == status
    assert err in capsys.readouterr().err


def test_several_files_standard_input_and_a_missing_file(tmp_path):
    result = run(EXAMPLE, "-", tmp_path / "missing.bufr", EXAMPLE, "--headers", "--limit", "1",
                 stdin=GOOD + GOOD[:-1], tmp=tmp_path)
    assert result.returncode == 2  # the missing file; the other three are read
    assert result.stdout.decode().count("message 0 at offset 0: edition 4") == 3
    assert [line for line in result.stdout.decode().splitlines() if line.startswith("==>")] == [
        f"==> {EXAMPLE} <==", "==> - <==", f"==> {tmp_path / 'missing.bufr'} <==", f"==> {EXAMPLE} <=="]
    assert result.stderr.decode() == f"norvane: {tmp_path / 'missing.bufr'}: No such file or directory\n"


def test_version():
    result = run("--version")
    assert result.returncode == 0 and result.stdout.decode().startswith(f"norvane {norvane.__version__} (bundled")


def test_a_closed_pipe_ends_the_run_quietly(tmp_path):
    (tmp_path / "many.bufr").write_bytes(GOOD * 2000)  # far more output than a pipe holds
    child = subprocess.Popen([sys.executable, "-m", "norvane", str(tmp_path / "many.bufr")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env={**os.environ, "NORVANE_DEFINITIONS": str(tmp_path)})
    assert child.stdout.readline().startswith(b"message 0 at offset 0")
    child.stdout.close()
    assert (child.wait(), child.stderr.read()) == (141, b"")
    child.stderr.close()


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stderr_is_terminal", [True, False])
def test_progress_bar_only_on_a_terminal_for_long_files(tmp_path, capsys, env, stderr_is_terminal):
    (tmp_path / "long.bufr").write_bytes(GOOD * 4)
    env.setattr(norvane.__main__, "PROGRESS_MIN_SIZE", len(GOOD) * 4)
    stderr = Terminal() if stderr_is_terminal else io.StringIO()
    env.setattr(sys, "stderr", stderr)
    assert main(["--headers", str(tmp_path / "long.bufr")]) == 0
    bars = stderr.getvalue().split("\r")[1:]
    if stderr_is_terminal:
        assert [bar[-6:] for bar in bars] == [" 25.0%", " 50.0%", " 75.0%", "100.0%", "\x1b[K"]
    else:
        assert bars == []
