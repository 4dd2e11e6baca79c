"""The WMO tables bundled in the package: what they hold, that the committed files are what the
generator makes of WMO's CSV files, and that they decode real messages as ecCodes does when no
ecCodes definitions are visible."""

import re
import sys
import threading
import types
from pathlib import Path

import pytest

import norvane
from conftest import CORPUS, require
from norvane import TableSet
from norvane.bundled import BUNDLED_SOURCE, BUNDLED_TABLES_DIR, bundled_tables

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import make_bundled_tables  # noqa: E402


def corpus(relative: str) -> Path:
    """A corpus path; a missing corpus skips the test, or fails it where the corpus is expected."""
    return require(CORPUS / relative)


def table_files(root: Path) -> dict[str, bytes]:
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_committed_tables_are_what_the_generator_makes(tmp_path):
    make_bundled_tables.generate(corpus("wmo-csv"), tmp_path / "tables")
    made, committed = table_files(tmp_path / "tables"), table_files(BUNDLED_TABLES_DIR)
    assert sorted(made) == sorted(committed)
    assert [name for name in made if made[name] != committed[name]] == []


def test_elements_and_sequences_agree_with_the_csv_loader():
    csv_tables, ours = TableSet.from_bufr4_45(str(corpus("wmo-csv"))), bundled_tables()
    assert (ours.element_count, ours.sequence_count) == (csv_tables.element_count, csv_tables.sequence_count)
    lines = (BUNDLED_TABLES_DIR / "element.table").read_text().splitlines()[1:]
    differing = []
    for code in (int(line.split("|")[0]) for line in lines):
        a, b = csv_tables.get_element(code), ours.get_element(code)
        if (a.name.strip(), a.unit.strip(), a.scale, a.reference, a.width) != (b.name, b.unit, b.scale, b.reference,
                                                                                  b.width):
            differing.append(code)
    assert differing == []
    codes = [int(line.split('"')[1]) for line in (BUNDLED_TABLES_DIR / "sequence.def").read_text().splitlines()]
    assert [c for c in codes if csv_tables.get_sequence(c).members != ours.get_sequence(c).members] == []


@pytest.mark.parametrize("code, raw, meaning", [
    (1003, 1, "Region I"),                   # code table: keyed by the code figure
    (20003, 10, "Mist"),                     # written "10" among two-digit figures "00".."09"
    (25139, 31, "Missing value"),            # a "Numeric" element with a code table
    (25139, 2, None),                        # "2-30 Reserved" is a range, left out
    (2002, 8, "Certified instruments"),      # flag table, width 4: bit 1 is the pattern 1000
    (2002, 2, "Originally measured in km h-1"),
    (2002, 15, "Missing value"),             # "All 4": every bit set
    (2002, 1, None),                         # no bit 4 entry
    (8042, 1 << 17, "Surface"),              # width 18
    (1001, 0, None),                         # not a code table
])
def test_meanings(code, raw, meaning):
    assert bundled_tables().get_meaning(code, raw) == meaning


@pytest.mark.parametrize("code, fields", [
    (1001, ("blockNumber", "long", "WMO block number", "Numeric", 0, 0, 7)),  # ecCodes' keys
    (12101, ("airTemperature", "double", "Temperature/air temperature", "K", 2, 0, 16)),
    (1130, ("stormIdentifierLong", "string", "Storm identifier (long)", "CCITT IA5", 0, 0, 32)),  # newer: made
    (20096, ("iceAgeAParameter", "double", 'Ice age ("A" parameter)', "dB", 2, -4096, 13)),  # quoted field
    (40056, ("generalRetrievalQuality", "table", "General retrieval quality", "Code table", 0, 0, 3)),  # unit trimmed
    (2002, ("instrumentationForWindMeasurement", "flag", "Type of instrumentation for wind measurement",
            "Flag table", 0, 0, 4)),
    (1015, ("stationOrSiteName", "string", "Station or site name", "CCITT IA5", 0, 0, 160)),
])
def test_element_rows(code, fields):
    e = bundled_tables().get_element(code)
    assert (e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width) == fields


def test_loaded_once_for_every_thread():
    barrier, results = threading.Barrier(8), []

    def load():
        barrier.wait()
        results.append(bundled_tables())

    threads = [threading.Thread(target=load) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8 and all(r is results[0] for r in results)


# ---- real messages: the bundled tables against ecCodes with its own definitions ----------------

def uses_local_descriptors(descriptors) -> bool:
    """Local elements (class 48-63 or entry 192-255) and local sequences appear in section 3 itself:
    WMO sequences hold WMO descriptors only."""
    return any((code // 1000) % 100 >= 48 or code % 1000 >= 192 for code in descriptors)


def not_enough_bits(at, width, available):
    return re.escape(f"csv/table parse error: not enough bits while reading section 4 at bit {at} for width "
                     f"{width} ({available} bits available)")


# Master version 13 coded the radiation elements 014002/014004/014028-014030 in 12 and 16 bits;
# the latest tables give them 17 and 20, so the data runs out.
RADIATION = "bufr/pybufrkit/{}/ISMD01_OKPR.bufr"
EXPECTED = {  # (file, message index): what happens instead, as a regular expression
    **{(RADIATION.format(folder), index): not_enough_bits(*bits)
       for folder in ("benchmark_data", "data")
       for index, bits in enumerate([(5130, 32, 5152), (5305, 32, 5328), (5193, 32, 5216), (5265, 32, 5296)])},
    # The tables of the declared version do not describe the data with any tables; ecCodes fails too.
    ("bufr/pybufrkit/benchmark_data/jason2.bufr", 0): not_enough_bits(540114, 16, 540120),
    # Broken on purpose: too short for version 14's 307051, which later versions shortened;
    # ecCodes, with version 14, rejects it.
    ("bufr/pybufrkit/data/multi_invalid_messages.bufr", 2): r"ecCodes failed \(.*\) where we decoded 64 values",
}


def edition4_files():
    inventory = CORPUS / "inventory.tsv"
    if not inventory.exists():
        return ["inventory.tsv"]  # one case, which skips or fails as corpus() says
    rows = [line.split("\t") for line in inventory.read_text().splitlines()[1:]]
    return [row[0] for row in rows if int(row[7])]


@pytest.mark.filterwarnings("ignore::norvane.TablesWarning")  # local version 1 of centre 98, not used
@pytest.mark.parametrize("path", edition4_files())
def test_bundled_tables_decode_like_eccodes(path, tmp_path, monkeypatch):
    data = corpus(path).read_bytes()
    import test_corpus_decode as decode_check  # ecCodes (skips without it) and the comparison

    for variable in ("NORVANE_DEFINITIONS", "ECCODES_DEFINITION_PATH"):  # no ecCodes definitions visible
        monkeypatch.setenv(variable, str(tmp_path))
    outcomes, wanted = {}, set(decode_check.selected(data.count(b"BUFR")))
    for m in norvane.read(data, errors="skip"):
        if m.edition != 4 or m.index not in wanted or uses_local_descriptors(m.descriptors):
            continue
        assert m.table_source == BUNDLED_SOURCE
        try:
            outcomes[m] = m.decode()
        except norvane.ReadError as error:
            outcomes[m] = str(error).split(": ", 1)[1]
    monkeypatch.undo()  # ecCodes, the oracle, reads ECCODES_DEFINITION_PATH too

    problems = []
    for m, ours in outcomes.items():
        header = types.SimpleNamespace(compressed_data=m.compressed, number_of_subsets=m.number_of_subsets)
        problem = ours if isinstance(ours, str) else decode_check.compare(data[m.offset:m.offset + m.length],
                                                                          header, ours)
        expected = EXPECTED.get((path, m.index))
        if expected is None and problem is not None or expected is not None and not re.fullmatch(expected, problem or ""):
            problems.append(f"message {m.index}: {problem}, expected {expected!r}")
    assert {m.index for m in outcomes} >= {i for p, i in EXPECTED if p == path}
    assert not problems, "\n".join(problems[:20])
