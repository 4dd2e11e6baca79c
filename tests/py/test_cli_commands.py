"""The subcommands ls, dump, table and map: their output read back and compared with the tables
they come from."""

import csv
import io
import json
import struct
import sys

import pandas as pd
import pytest

import norvane
from conftest import CORPUS, SANITIZED, require
from norvane.__main__ import main
from norvane.commands import parse_filter
from norvane.table import read_table

BAD = CORPUS / "bufr/pybufrkit/data/multi_invalid_messages.bufr"
COLUMNS = "station_id,datetime,latitude,longitude,pressure,airTemperature"


@pytest.fixture(scope="module")
def temp(tmp_path_factory):
    """The first five soundings of the TEMP file."""
    data = require(CORPUS / "bufr/derived_ed4/temp.ed4.bufr").read_bytes()
    last = list(norvane.read(data))[4]
    path = tmp_path_factory.mktemp("cli") / "temp.bufr"
    path.write_bytes(data[:last.offset + last.length])
    return path


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_ls_lists_one_line_per_message(temp, capsys):
    status, out, _ = run(capsys, "ls", temp)
    lines = out.splitlines()
    assert status == 0 and len(lines) == 6
    assert lines[0].split("\t")[:3] == ["index", "offset", "edition"]
    fields = lines[2].split("\t")
    second = list(norvane.read(temp))[1]
    assert fields[:6] == ["1", str(second.offset), "4", "98", "2", "1"]
    assert fields[6:8] == ["no", "2008-12-08T12:00:00"] and fields[8].startswith("ecCodes")


def test_dump_json_parses_back_to_the_long_table(temp, capsys):
    status, out, _ = run(capsys, "dump", temp, "--format", "json")
    document = json.loads(out)
    (entry,) = document["files"]
    long = read_table(temp).to_arrow().to_pylist()
    flattened = [(m["message"], s, item["descriptor"], item["key"], item["value"], item["unit"], item.get("meaning"))
                 for m in entry["messages"] for s, subset in enumerate(m["subsets"]) for item in subset]
    expected = [(r["message"], r["subset"], r["descriptor"], r["key"], r["text"] if r["text"] is not None else
                 r["value"], r["unit"], r["meaning"]) for r in long]
    assert status == 0 and flattened == expected
    assert [m["number_of_subsets"] for m in entry["messages"]] == [len(m["subsets"]) for m in entry["messages"]]
    assert entry["messages"][0]["typical_datetime"] == "2008-12-08T12:00:00"


def test_dump_csv_has_a_row_per_long_table_row(temp, capsys):
    status, out, _ = run(capsys, "dump", temp, temp, "--format", "csv")
    rows = list(csv.reader(io.StringIO(out)))
    assert status == 0
    assert rows[0] == ["file", "message", "subset", "descriptor", "key", "value", "raw", "text", "meaning", "unit"]
    assert len(rows) - 1 == 2 * read_table(temp).num_rows


def test_dump_text_names_keys_units_and_meanings(temp, capsys):
    status, out, _ = run(capsys, "dump", temp)
    assert status == 0
    assert out.startswith("message 0 at offset 0: edition 4, centre 98")
    assert "    001002  stationNumber" in out and " 907 Numeric" in out
    assert "(MAXIMUM WIND LEVEL)" in out


@pytest.mark.parametrize("suffix", [".csv", ".json", ".parquet", None])
def test_table_writes_the_observation_rows(temp, capsys, tmp_path, suffix):
    argv = ["table", temp, "--columns", COLUMNS, "--filter", "pressure=20000..85000", "-f", "station_id=71907,71823"]
    expected = read_table(temp, columns=COLUMNS.split(","),
                          filters={"pressure": slice(20000, 85000), "station_id": [71907, 71823]})
    output = tmp_path / f"rows{suffix}" if suffix else None
    status, out, _ = run(capsys, *argv, *(["-o", output] if output else []))
    assert status == 0 and len(expected) > 20
    if suffix == ".json":
        records = json.loads(output.read_text())
        assert [r["airTemperature"] for r in records] == expected["airTemperature"].tolist()
        assert [r["station_id"] for r in records] == expected["station_id"].tolist()
        assert records[0]["datetime"] == expected["datetime"].iloc[0].isoformat()
        return
    if suffix == ".parquet":
        back = pd.read_parquet(output)
    else:
        back = pd.read_csv(output if output else io.StringIO(out), parse_dates=["datetime"])
    assert len(back) == len(expected)
    pd.testing.assert_frame_equal(back, expected, check_dtype=False)


def test_table_flat_and_several_files(temp, capsys):
    status, out, _ = run(capsys, "table", temp, temp, "--flat", "-c", "stationNumber,#1#pressure")
    back = pd.read_csv(io.StringIO(out))
    assert status == 0 and list(back.columns) == ["file", "#1#stationNumber", "#1#pressure"] and len(back) == 10
    status, out, _ = run(capsys, "table", temp, "--flat")  # every column
    back = pd.read_csv(io.StringIO(out))
    assert status == 0 and len(back) == 5 and {"centre", "#1#stationNumber", "#2#pressure"} <= set(back.columns)


@pytest.mark.parametrize("text, expected", [
    ("stationNumber=907", ("stationNumber", 907)),
    ("pressure=500.5", ("pressure", 500.5)),
    ("aircraftFlightNumber=EU6349", ("aircraftFlightNumber", "EU6349")),
    ("station_id=1,2,3", ("station_id", [1, 2, 3])),
    ("pressure=20000..85000", ("pressure", slice(20000, 85000))),
    ("pressure=..85000", ("pressure", slice(None, 85000))),
    ("latitude=-10.5..", ("latitude", slice(-10.5, None))),
])
def test_filter_syntax(text, expected):
    assert parse_filter(text) == expected


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.skipif(SANITIZED, reason="matplotlib's font module throws C++ exceptions the preloaded ASan runtime cannot intercept")
def test_map_draws_a_png_of_the_asked_size(temp, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    image = tmp_path / "map.png"
    status, _, err = run(capsys, "map", temp, "--column", "airTemperature", "-o", image, "--size", "640x360")
    assert status == 0, err
    assert png_size(image) == (640, 360)
    assert image.stat().st_size > 5000  # points, axes and a colour bar, not an empty canvas


def test_map_without_matplotlib_says_what_to_install(temp, capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = run(capsys, "map", temp, "--column", "airTemperature", "-o", tmp_path / "m.png")
    assert status == 2 and "pip install 'norvane[map]'" in err


@pytest.mark.parametrize("command", [["dump", "--format", "csv"], ["table", "-c", "latitude"]])
def test_errors_skip_reports_bad_messages_and_goes_on(command, capsys):
    require(BAD)
    status, out, err = run(capsys, command[0], BAD, *command[1:], "--errors", "skip")
    assert status == 1
    assert "message 2 at offset 616" in err
    assert "norvane: warning: message 0 at offset 0 asks for local tables" in err
    assert out.strip()  # the good message is there


@pytest.mark.filterwarnings("ignore::norvane.TablesWarning")
def test_frames_keep_the_skipped_messages():
    frame = read_table(require(BAD), columns=["latitude"], errors="skip")
    assert [entry.index for entry in frame.attrs["skipped"]] == [0, 2]


def test_ls_reads_headers_only_so_messages_that_do_not_decode_are_listed(capsys):
    status, out, _ = run(capsys, "ls", require(BAD), "--errors", "skip")
    assert status == 0 and len(out.splitlines()) == 1 + len(list(norvane.read(BAD)))


@pytest.mark.parametrize("argv, status, err", [
    (["table", "/nonexistent.bufr", "-c", "latitude"], 2, "No such file"),
    (["table", "{temp}"], 2, "--columns names the keys"),
    (["table", "{temp}", "-c", "#0#latitude"], 2, "ranked key"),
    (["table", "{temp}", "-c", "latitude", "-o", "{tmp}/out.xlsx"], 2, ".parquet, .csv or .json"),
    (["map", "{temp}", "--column", "airTemperature", "-o", "{tmp}/m.png", "--size", "big"], 2, "--size"),
    (["dump", "{bad}"], 1, "message 0 at offset 0"),
])
def test_command_errors(argv, status, err, temp, capsys, tmp_path):
    argv = [a.format(temp=temp, tmp=tmp_path, bad=BAD) for a in argv]
    got, _, text = run(capsys, *argv)
    assert got == status and err in text
