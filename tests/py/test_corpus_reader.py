"""Real files through norvane.read(): every edition 3 message against ecCodes value by value, the
derived edition 4 files against their edition 3 sources, one file through every kind of source,
tables loaded once for 15,824 messages, and the year of century against ecCodes and the data."""

from __future__ import annotations

import mmap
import types
from pathlib import Path

import pytest

import norvane
from conftest import CORPUS, corpus_rows, require
from test_corpus_decode import DEFINITIONS, PEER_STATUS, compare, eccodes

INVENTORY = corpus_rows("inventory.tsv")
ED3_FILES = [row["path"] for row in INVENTORY if "3:" in row["editions"]] or ["inventory.tsv"]

FAILURES = {  # (file, message index): (our exact error, why)
    # ecCodes fails on these too: the descriptors are defined only by the producer's own tables.
    ("bufr/pybufrkit/data/multi_invalid_messages.bufr", 0): ("descriptor 301195 was not found in Table D", "local"),
    **{("bufr/pybufrkit/data/prepbufr.bufr", i): ("descriptor 063000 was not found in Table B",
                                                  "NCEP defines it in the file's own table messages 0 and 1")
       for i in range(2, 13)},
}
MISMATCHES = {  # (file, message index): (what compare() reports, why)
    **{(f"bufr/pybufrkit/{d}/b002_95.bufr", 0): (
        "value 27: DecodedValue(021192, Some(-49.41)) (raw=59, raw_value=-49.41, text=None): ecCodes 59.0",
        "206008 gives local element 021192 8 bits; we keep its Table B scale and reference, ecCodes drops them")
       for d in ("data", "benchmark_data")},
    ("bufr/pybufrkit/benchmark_data/btem_111.bufr", 0): (
        "ecCodes failed (Decoding invalid) where we decoded 0 values", "section 3 lists no descriptor"),
}


def records(values):
    return [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in values]


@pytest.mark.filterwarnings("ignore::norvane.TablesWarning")
@pytest.mark.parametrize("path", ED3_FILES)
def test_edition3_values_agree_with_eccodes(path):
    data = require(CORPUS / path).read_bytes()
    require(DEFINITIONS)
    read = norvane.read(data, definitions=DEFINITIONS, errors="skip")
    problems, seen = [], set()
    for m in read:
        if m.edition != 3:
            continue
        seen.add(m.index)
        error, _ = FAILURES.get((path, m.index), (None, None))
        mismatch, _ = MISMATCHES.get((path, m.index), (None, None))
        try:
            ours = m.decode()
        except norvane.ReadError as failure:
            if str(failure) != f"message {m.index} at offset {m.offset}: {error}":
                problems.append(f"{failure}, listed {error!r}")
            continue
        header = types.SimpleNamespace(compressed_data=m.compressed, number_of_subsets=m.number_of_subsets)
        problem = "decoded although listed" if error else compare(data[m.offset:m.offset + m.length], header, ours)
        if problem != mismatch:
            problems.append(f"message {m.index}: {problem}")
    assert not read.skipped
    assert seen >= {i for p, i in [*FAILURES, *MISMATCHES] if p == path}
    assert not problems, "\n".join(problems[:20])


@pytest.mark.parametrize("name", ["cmwn_87", "csrh_189", "ias1_240"])
def test_derived_edition4_files_decode_like_their_edition3_sources(name):
    root = require(DEFINITIONS)
    derived = list(norvane.read(require(CORPUS / f"bufr/derived_ed4/{name}.ed4.bufr"), definitions=root))
    sources = list(norvane.read(require(CORPUS / f"bufr/pybufrkit/benchmark_data/{name}.bufr"), definitions=root))
    assert {m.table_source for m in derived} == {m.table_source for m in sources} == {
        f"ecCodes {root}/bufr/tables/0/wmo/13 + local {root}/bufr/tables/0/local/1/98/0"}
    assert [(m.edition, m.international_subcategory) for m in sources] == [(3, None)] * len(derived)
    assert [(m.number_of_subsets, m.compressed, m.descriptors) for m in derived] == [
        (m.number_of_subsets, m.compressed, m.descriptors) for m in sources]
    for ours, theirs in zip(derived, sources):
        assert records(ours.decode()) == records(theirs.decode()), f"message {ours.index}"


@pytest.mark.parametrize("path", ["bufr/pybufrkit/benchmark_data/IUSD40_OKLI.bufr", "bufr/pybufrkit/data/prepbufr.bufr",
                                  "bufr/derived_ed4/temp.ed4.bufr"])
def test_every_kind_of_source_gives_the_same_messages(path):
    file = require(CORPUS / path)
    data = file.read_bytes()

    def seen(source):
        read = norvane.read(source, definitions=require(DEFINITIONS), errors="skip")
        messages = [(m.index, m.offset, m.length, m.edition, m.typical_datetime, m.descriptors) for m in read]
        return messages, read.skipped, read.ignored

    expected = seen(file)
    assert expected[0] and not expected[1]
    with file.open("rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for source in [str(file), data, bytearray(data), memoryview(data), mapped]:
            assert seen(source) == expected, type(source).__name__
    with file.open("rb") as handle:
        assert seen(handle) == expected


def test_fifteen_thousand_messages_load_their_tables_once():
    path = "bufr/derived_ed4/perf_synop.ed4.bufr"
    read = norvane.read(require(CORPUS / path), definitions=require(DEFINITIONS))
    counts = [len(m.decode()) for m in read]
    assert (len(counts), read.table_loads) == (15824, 1)
    if path in PEER_STATUS:
        assert sum(counts) == int(PEER_STATUS[path]["values"])


@pytest.mark.filterwarnings("ignore::norvane.TablesWarning")
@pytest.mark.parametrize("path", ED3_FILES)
def test_year_of_century_agrees_with_eccodes_and_the_data(path):
    """ecCodes reads an edition 3 year of century as 2000 + it; the corpus carries 2000 to 2025, where our
    window agrees. Where the data carries years (004001), the message's year is one of them."""
    data = require(CORPUS / path).read_bytes()
    for m in norvane.read(data, definitions=require(DEFINITIONS), errors="skip"):
        if m.edition != 3:
            continue
        handle = eccodes.codes_new_from_message(data[m.offset:m.offset + m.length])
        try:
            theirs = [eccodes.codes_get(handle, key) for key in
                      ("typicalYear", "typicalMonth", "typicalDay", "typicalHour", "typicalMinute")]
        finally:
            eccodes.codes_release(handle)
        when = m.typical_datetime
        ours = (when.year, when.month, when.day, when.hour, when.minute) if when else None
        assert ours == (tuple(theirs) if theirs[1] else None), f"message {m.index}"  # month 0: no date
        try:
            years = {v.raw_value for v in m.decode() if v.descriptor == 4001 and v.raw_value}
        except norvane.ReadError:
            continue
        assert not years or when.year in years, f"message {m.index}: {when} against data years {years}"
