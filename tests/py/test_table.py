"""The long table against decode(): every corpus message row by row, the compressed matrices,
threads, the Arrow export read by pyarrow, polars and DuckDB, and what a released table frees."""

from __future__ import annotations

import gc
import re
import sys
from pathlib import Path

import pytest

import norvane
import norvane.bundled
from bufr_writer import build_message, compressed_fields, write_table_dir
from conftest import CORPUS, DEFINITIONS, SANITIZED, corpus_rows, require, require_module

pa = require_module("pyarrow")

INVENTORY = corpus_rows("inventory.tsv")
# Every file with an edition 3 or 4 message, each cut to its first messages: at most 300, and
# those that start in its first 16 KiB (a satellite product holds millions of values there).
FILES = [row["path"] for row in INVENTORY if "3:" in row["editions"] or "4:" in row["editions"]] or ["inventory.tsv"]
DERIVED = CORPUS / "bufr/derived_ed4"
# The sanitizer run, several times slower, reads less of each: the same code paths.
FIRST_MESSAGES = 30 if SANITIZED else 300
FIRST_OCTETS = (2 if SANITIZED else 16) * 1024
CONSTANT_KEYS = {"operator", "associatedField", "characterData"}


def source_of(path: Path) -> bytes | Path:
    """The file, or the octets of its first messages when it has more (see FILES)."""
    with norvane.read(path, errors="skip") as reader:
        for message in reader:
            if message.index == FIRST_MESSAGES or (message.index > 0 and message.offset >= FIRST_OCTETS):
                return path.read_bytes()[:message.offset]
    return path


def camel_case_key(name: str, code: int) -> str:
    """The key of an element without an abbreviation, as the bundled tables are generated."""
    words = re.findall(r"[A-Za-z0-9]+", name)
    if not words:
        return f"element{code:06d}"
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


def expected_key(tables: norvane.TableSet, value: norvane.DecodedValue) -> str:
    element = tables.get_element(value.descriptor) if value.name not in CONSTANT_KEYS else None
    if element is None:
        return value.name
    return element.abbreviation or camel_case_key(element.name, element.code)


def expected_columns(source: bytes | Path, skipped: list[norvane.SkippedMessage]) -> dict[str, list]:
    """The long table's columns as decode() gives the values, subset left out."""
    columns: dict[str, list] = {name: [] for name in norvane.table.COLUMNS if name != "subset"}
    with norvane.read(source, errors="skip") as reader:
        for message in reader:
            try:
                values = message.decode()
            except norvane.ReadError as error:
                assert (message.index, str(error)) in [(s.index, s.error) for s in skipped]
                continue
            tables = message._tables()[0]
            elements = {v.descriptor: tables.get_element(v.descriptor) for v in values if v.name not in CONSTANT_KEYS}
            columns["message"] += [message.index] * len(values)
            columns["descriptor"] += [v.descriptor for v in values]
            columns["key"] += [expected_key(tables, v) for v in values]
            columns["value"] += [None if v.raw is None else v.raw_value for v in values]
            columns["raw"] += [v.raw for v in values]
            columns["text"] += [v.raw_text for v in values]
            columns["meaning"] += [v.raw_meaning for v in values]
            columns["unit"] += [None if v.name in CONSTANT_KEYS else elements[v.descriptor].unit for v in values]
    return columns


@pytest.mark.parametrize("name", FILES)
def test_rows_equal_decoded_records(name):
    source = source_of(require(CORPUS / name))
    table = norvane.read_table(source, errors="skip")
    got = pa.table(table).to_pydict()
    for column, expected in expected_columns(source, table.skipped).items():
        if got[column] != expected:
            row = next(i for i, (a, b) in enumerate(zip(got[column], expected)) if a != b) if len(
                got[column]) == len(expected) else min(len(got[column]), len(expected))
            pytest.fail(f"{column} differs at row {row}: {got[column][row:row + 3]} != {expected[row:row + 3]}")
    # Subsets count from 0 in each message and never go back; a compressed message gives
    # every subset the same number of rows.
    headers = table.headers()
    subsets = dict(zip(headers["message"], headers["number_of_subsets"]))
    previous = (-1, 0)
    for message, subset in zip(got["message"], got["subset"]):
        assert (message, subset) >= previous and subset < subsets[message]
        assert message != previous[0] or subset - previous[1] <= 1 or subsets[message] > 1
        previous = (message, subset)


def test_threads_give_the_same_table():
    path = require(DERIVED / "perf_synop.ed4.bufr")
    one = pa.table(norvane.read_table(path))
    for threads in (2, 3):
        assert pa.table(norvane.read_table(path, threads=threads)).equals(one)
    assert one.num_rows == 1_820_088


@pytest.mark.parametrize("name, keys", [
    ("temp", ["airTemperature", "dewpointTemperature", "delayedDescriptorReplicationFactor"]),  # uncompressed
    ("cmwn_87", ["windSpeed", "satelliteIdentifier", "operator"]),  # compressed, operators and 22x255 values
])
def test_a_builder_with_keys_keeps_their_rows_and_the_coordinates(name, keys):
    """Observation rows read a builder that writes only the rows of their keys and of the
    coordinates (classes 01 to 09): the same rows as the whole table, filtered."""
    source = source_of(DERIVED / f"{name}.ed4.bufr")
    whole, selected = (norvane.table._reader.RowBuilder(k) for k in (None, keys))
    for builder in (whole, selected):
        with norvane.read(source) as reader:
            assert builder.add(list(reader), 1) == []
    whole, selected = pa.table(whole.finish()), pa.table(selected.finish())
    descriptor = whole.column("descriptor").to_numpy()
    kept = ((descriptor >= 1000) & (descriptor < 10000)) | pa.compute.is_in(
        whole.column("key").cast(pa.string()), pa.array(keys)).to_numpy(zero_copy_only=False)
    assert 0 < selected.num_rows < whole.num_rows
    assert selected.to_pylist() == whole.filter(pa.array(kept)).to_pylist()


@pytest.mark.parametrize("keys, error", [("airTemperature", "not a str"), ([1001], "keys must hold str, not 'int'")])
def test_a_builder_takes_a_sequence_of_keys(keys, error):
    with pytest.raises(TypeError, match=error):
        norvane.table._reader.RowBuilder(keys)


@pytest.mark.parametrize("name", ["cmwn_87", "csrh_189", "ias1_240"])
def test_compressed_matrix_is_the_long_table_reshaped(name):
    np = require_module("numpy")
    path = require(DERIVED / f"{name}.ed4.bufr")
    with norvane.read(path) as reader:
        for message in list(reader)[:2 if SANITIZED else 5]:
            matrix = message.to_numpy()
            rows = message.to_arrow()
            subsets = message.number_of_subsets
            assert matrix.values.shape == (subsets, rows.num_rows // subsets)
            values = rows.column("value").to_numpy(zero_copy_only=False)
            np.testing.assert_array_equal(matrix.values.ravel(), np.where(np.isnan(values), np.nan, values))
            positions = matrix.values.shape[1]
            assert matrix.descriptors == rows.column("descriptor").to_pylist()[:positions]
            assert matrix.keys == rows.column("key").to_pylist()[:positions]
            assert not matrix.values.flags.writeable


def test_matrix_refuses_subsets_that_differ():
    # Two subsets with different delayed replication counts: 1 and 3 temperatures.
    message = build_message([101000, 31001, 12101], [(1, 8), (2731, 16), (3, 8), (2731, 16), (2741, 16), (2751, 16)],
                            subsets=2)
    (msg,) = list(norvane.read(message))
    with pytest.raises(ValueError, match="differ in their descriptors"):
        msg.to_numpy()
    assert msg.to_arrow().column("subset").to_pylist() == [0, 0, 1, 1, 1, 1]


def test_consumers_read_the_stream():
    polars = require_module("polars")
    duckdb = require_module("duckdb")
    table = norvane.read_table(require(DERIVED / "temp.ed4.bufr"))
    arrow = pa.table(table)
    assert arrow.schema.field("key").type == pa.dictionary(pa.int32(), pa.string())
    assert [arrow.schema.field(c).type for c in ("message", "value", "raw")] == [pa.int32(), pa.float64(), pa.uint64()]
    frame = polars.DataFrame(table)
    assert frame.height == table.num_rows
    assert frame["value"].null_count() == arrow.column("value").null_count
    temperatures = duckdb.sql("select count(*) from arrow where key = 'airTemperature'").fetchall()[0][0]
    assert temperatures == frame.filter(polars.col("key") == "airTemperature").height > 0
    pandas = table.to_pandas()
    assert list(pandas.columns) == list(norvane.table.COLUMNS) and len(pandas) == table.num_rows


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_released_tables_free_their_memory():
    path = require(DERIVED / "csrh_189.ed4.bufr")
    sizes = []
    for _ in range(12):
        table = norvane.read_table(path)
        table_size = table.nbytes
        arrow = pa.table(table)
        capsule = table.__arrow_c_stream__()  # an unread stream is released by its capsule
        del table, arrow, capsule
        gc.collect()
        sizes.append(rss())
    assert table_size > 100 * 2**20
    # Each table holds 130 MB: a leak would add that much per round; what the allocator keeps
    # after a release stays the same from round to round.
    assert max(sizes[6:]) - max(sizes[:6]) < 40 * 2**20, sizes


def test_skip_leaves_out_a_message_that_does_not_decode():
    good = build_message([12101], [(2731, 16)], year=2024)
    cut = build_message([12101, 12101], [(2731, 16)])  # the data lacks the second value
    source = good + cut + good
    table = norvane.read_table(source, errors="skip")
    assert pa.table(table).column("message").to_pylist() == [0, 2]
    (skipped,) = table.skipped
    assert (skipped.index, skipped.offset) == (1, len(good)) and "message 1 at offset" in skipped.error
    with pytest.raises(norvane.ReadError) as raised:
        norvane.read_table(source)
    assert raised.value.index == 1 and str(raised.value) == skipped.error
    assert table.headers()["message"] == [0, 2] and table.headers()["typical_datetime"][0].year == 2024


def test_a_table_of_nothing_keeps_its_schema():
    table = norvane.read_table(b"no BUFR here", errors="skip")
    arrow = pa.table(table)
    assert arrow.num_rows == 0 and arrow.column_names == list(norvane.table.COLUMNS)
    assert [s.index for s in table.skipped] == [0]


@pytest.mark.parametrize("threads", [0, -1, 1.5, True])
def test_threads_must_be_a_positive_int(threads):
    with pytest.raises(ValueError, match="threads"):
        norvane.read_table(b"", threads=threads)


def test_compressed_texts_and_missing_values(tmp_path):
    write_table_dir(tmp_path, elements=[(1015, "STATION NAME", "CCITT IA5", 0, 0, 32, "stationName"),
                                        (12101, "TEMPERATURE (DRY BULB)", "K", 1, 0, 12, "")])
    columns = [("text", 32, [b"ABCD", b"ABCD", b"ABCD"]), ("text", 32, [b"AB  ", b"\xff" * 4, b"XY  "]),
               ("numeric", 12, [2731, None, 2741])]
    message = build_message([1015, 1015, 12101], compressed_fields(columns), subsets=3, compressed=True)
    table = norvane.read_table(message, tables=norvane.TableSet.from_eccodes(str(tmp_path)))
    got = pa.table(table).to_pydict()
    assert got["text"] == ["ABCD", "AB", None, "ABCD", None, None, "ABCD", "XY", None]
    assert got["value"] == [None, None, 273.1, None, None, None, None, None, 274.1]
    assert got["raw"][5] == 4095 and got["key"][:3] == ["stationName", "stationName", "temperatureDryBulb"]
    assert got["unit"][:3] == ["CCITT IA5", "CCITT IA5", "K"]


def test_the_bundled_tables_give_ecCodes_keys():
    """A pip-only reader names elements as ecCodes does, so columns such as airTemperature (and
    the station_id made from blockNumber and stationNumber) do not depend on the tables found."""
    message = build_message([1001, 1002, 12101, 20003], [(10, 7), (384, 10), (27315, 16), (5, 9)], master_version=39)
    eccodes_tables = norvane.TableSet.from_eccodes(str(require(DEFINITIONS / "bufr/tables/0/wmo/39")))
    keys = [pa.table(norvane.read_table(message, tables=tables)).column("key").to_pylist()
            for tables in (eccodes_tables, norvane.bundled.bundled_tables())]
    assert keys[0] == keys[1] == ["blockNumber", "stationNumber", "airTemperature", "presentWeather"]
    rows = norvane.read_table(message, tables=norvane.bundled.bundled_tables(), columns=["station_id", "airTemperature"])
    assert rows.values.tolist() == [[10384, 273.15]]


def test_a_process_loads_each_table_directory_once(monkeypatch):
    from norvane import table_cache

    require(DEFINITIONS)
    table_cache._load_definitions.cache_clear()
    loads = []
    load_tables = table_cache._reader.load_tables
    monkeypatch.setattr(table_cache._reader, "load_tables", lambda *args: loads.append(args) or load_tables(*args))
    path = require(DERIVED / "temp.ed4.bufr")
    reads = [norvane.read(path) for _ in range(2)]
    for reader in reads:
        with reader:
            next(iter(reader)).decode()
    assert len(loads) == 1 and [reader.table_loads for reader in reads] == [1, 1]


@pytest.mark.parametrize(("module", "call"), [("polars", lambda t, m: t.to_polars()),
                                              ("pyarrow", lambda t, m: t.to_arrow()),
                                              ("numpy", lambda t, m: m.to_numpy())])
def test_a_missing_optional_library_says_how_to_get_it(monkeypatch, module, call):
    table = norvane.read_table(build_message([12101], [(2731, 16)]))
    (message,) = norvane.read(build_message([12101], [(2731, 16)]))
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"pip install {module} \(or norvane\["):
        call(table, message)


def test_a_message_whose_tables_do_not_load_reports_the_error_of_decode():
    require(DEFINITIONS)
    message = build_message([12101], [(2731, 16)], master_version=99)  # no such table directory
    (skipped,) = norvane.read_table(message, errors="skip", definitions=str(DEFINITIONS)).skipped
    with pytest.raises(norvane.ReadError) as decoded:
        next(iter(norvane.read(message, definitions=str(DEFINITIONS)))).decode()
    assert skipped.error == str(decoded.value) and skipped.error.count("message 0 at offset 0") == 1
    with pytest.raises(norvane.ReadError) as matrix:
        next(iter(norvane.read(message, definitions=str(DEFINITIONS)))).to_numpy()
    assert str(matrix.value) == str(decoded.value)
