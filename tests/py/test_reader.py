"""norvane.read(): editions 2 to 4, every kind of source, bad and cut messages, tables chosen once per key."""

from __future__ import annotations

import contextlib
import datetime
import importlib.util
import io
import mmap
import os
import re
import sys
import threading
import warnings
from pathlib import Path

import pytest

import norvane
from bufr_writer import assemble, build_message, old_section1, pack_bits, section1, section3, section4, write_table_dir
from norvane import ReadError, SkippedMessage, TablesWarning, _norvane, _reader, reader

DESCRIPTORS = [1001, 12101]
DATA = pack_bits([(5, 7), (27315, 16)])
ELEMENTS = [(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7), (12101, "TEMPERATURE", "K", 2, 0, 16)]


def message(edition: int = 4, descriptors=DESCRIPTORS, data=DATA, **fields) -> bytes:
    if edition == 4:
        return build_message(descriptors, data, master_version=13, **fields)
    return assemble(old_section1(edition, **fields), section3(descriptors), section4(data), edition=edition)


GOOD = [message(4), message(3, hour=6), message(2, centre=7)]


@pytest.fixture
def root(tmp_path: Path) -> Path:
    """A definitions root with WMO version 13 and local tables 1 of centre 98 sub-centre 0."""
    tables = tmp_path / "definitions" / "bufr" / "tables" / "0"
    write_table_dir(tables / "wmo" / "13", ELEMENTS)
    write_table_dir(tables / "local" / "1" / "98" / "0", [(1001, "LOCAL BLOCK", "Numeric", 0, 0, 7)])
    return tmp_path / "definitions"


def records(values):
    return [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in values]


@pytest.mark.parametrize(("edition", "subcentre", "international", "when"), [
    (4, 0, 0, datetime.datetime(2024, 1, 2, 3, 4, 5)),
    (3, 0, None, datetime.datetime(2012, 1, 2, 3, 4)),
    (2, None, None, datetime.datetime(2012, 1, 2, 3, 4)),
])
def test_editions_read_into_the_same_fields_and_records(root, edition, subcentre, international, when):
    [m] = norvane.read(message(edition), definitions=root)
    assert (m.index, m.offset, m.length, m.edition) == (0, 0, len(message(edition)), edition)
    assert (m.master_table, m.centre, m.subcentre, m.international_subcategory) == (0, 98, subcentre, international)
    assert (m.master_table_version, m.local_table_version, m.typical_datetime) == (13, 0, when)
    assert (m.number_of_subsets, m.observed, m.compressed, m.descriptors) == (1, True, False, DESCRIPTORS)
    tables = _norvane.TableSet.from_eccodes(str(root / "bufr/tables/0/wmo/13"))
    assert records(m.decode()) == records(_norvane.decode_values_with_tables(message(4), tables))
    assert m.table_source == f"ecCodes {root}/bufr/tables/0/wmo/13"
    assert repr(m).startswith(f"Message(index=0, offset=0, length={m.length}, edition={edition}, centre=98")


@pytest.mark.parametrize(("year_of_century", "year"), [(0, 2000), (12, 2012), (68, 2068), (69, 1969), (99, 1999),
                                                       (100, 2000), (112, 2012), (255, 2155)])
def test_year_of_century(year_of_century, year):
    [m] = norvane.read(message(3, year=year_of_century))
    assert m.typical_datetime == datetime.datetime(year, 1, 2, 3, 4)


def test_fields_that_form_no_date_give_no_datetime():
    assert [m.typical_datetime for m in norvane.read(message(3, month=0, day=0) + message(4, day=31, month=2))] == [
        None, None]


@pytest.mark.parametrize(("data", "error"), [
    (message(1), "unsupported BUFR edition 1; editions 2 to 4 are implemented"),
    (message(5), "unsupported BUFR edition 5; editions 2 to 4 are implemented"),
    # Editions 2 and 3 end their fields with the minute, octet 17 of section 1.
    (assemble(old_section1(extra=b"", length=16)[:-1], section3([]), section4(), edition=3),
     "section 1 at offset 8 is truncated"),
    (b"BUFR\x00\x00\x0b\x04\x00\x00\x03", "section 1 at offset 8 is truncated"),
    (message(3)[:-1] + b"8", "section 5 terminator is not 7777"),
])
def test_bad_message_texts(data, error):
    with pytest.raises(ReadError) as info:
        list(norvane.read(data))
    assert (str(info.value), info.value.index, info.value.offset) == (f"message 0 at offset 0: {error}", 0, 0)


# Good messages in a bulletin envelope, a bad one, junk with a stray marker that declares 16 MB, and
# the first message again, cut short by 9 octets at the end.
ENVELOPE = b"\x01\r\r\n123\r\r\nISMD01 OKPR 211200\r\r\n"
BROKEN = message(4)[:-4] + b"7778"
STRAY = b"BUFR\xff\xff\xff\x03"
SOURCE = ENVELOPE + GOOD[0] + BROKEN + GOOD[1] + b"\0\0junk " + STRAY + GOOD[2] + GOOD[0][:-9]
OFFSETS = [len(ENVELOPE)]  # of each marker
for part in [GOOD[0], BROKEN, GOOD[1] + b"\0\0junk ", STRAY, GOOD[2]]:
    OFFSETS.append(OFFSETS[-1] + len(part))


def expected_skipped():
    return [
        SkippedMessage(1, OFFSETS[1], f"message 1 at offset {OFFSETS[1]}: section 5 terminator is not 7777"),
        SkippedMessage(3, OFFSETS[3], f"message 3 at offset {OFFSETS[3]}: message is cut short: it declares "
                       f"16777215 octets and {len(SOURCE) - OFFSETS[3]} remain"),
        SkippedMessage(5, OFFSETS[5], f"message 5 at offset {OFFSETS[5]}: message is cut short: it declares "
                       f"{len(GOOD[0])} octets and {len(GOOD[0]) - 9} remain"),
    ]


def sources(tmp_path: Path):
    path = tmp_path / "source.bufr"
    path.write_bytes(SOURCE)
    mapped = mmap.mmap(os.open(path, os.O_RDONLY), 0, access=mmap.ACCESS_READ)

    class Pipe(io.RawIOBase):  # a stream that can be neither mapped nor sought
        def __init__(self):
            self._data = io.BytesIO(SOURCE)

        def readable(self):
            return True

        def readinto(self, buffer):
            return self._data.readinto(memoryview(buffer)[:3])  # a few octets at a time

    return {
        "path": path, "str": str(path), "bytes": SOURCE, "bytearray": bytearray(SOURCE),
        "memoryview": memoryview(SOURCE), "mmap": mapped, "file": path.open("rb"), "BytesIO": io.BytesIO(SOURCE),
        "pipe": io.BufferedReader(Pipe(), buffer_size=5),
    }


@pytest.mark.parametrize("kind", ["path", "str", "bytes", "bytearray", "memoryview", "mmap", "file", "BytesIO", "pipe"])
def test_every_source_kind_gives_the_same_messages_and_reports(tmp_path, root, monkeypatch, kind):
    monkeypatch.setattr(reader, "CHUNK", 4)  # streams straddle markers and messages across reads
    source = sources(tmp_path)[kind]
    read = norvane.read(source, definitions=root, errors="skip")
    got = [(m.index, m.offset, m.length, m.edition, records(m.decode())) for m in read]
    values = records(norvane.read(GOOD[0], definitions=root).__next__().decode())
    assert got == [(0, OFFSETS[0], len(GOOD[0]), 4, values), (2, OFFSETS[2], len(GOOD[1]), 3, values),
                   (4, OFFSETS[4], len(GOOD[2]), 2, values)]
    assert read.skipped == expected_skipped()
    assert read.ignored == [(0, len(ENVELOPE)), (OFFSETS[2] + len(GOOD[1]), 7)]
    assert read.table_loads == 1  # without local tables, the centre does not change the tables


def test_raise_stops_at_the_first_bad_message():
    read = norvane.read(SOURCE)
    assert next(read).index == 0
    with pytest.raises(ReadError) as info:
        next(read)
    assert (str(info.value), info.value.index, info.value.offset) == (expected_skipped()[0].error, 1, OFFSETS[1])
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize(("head", "error"), [
    (GOOD[1][:40], "section 5 terminator is not 7777"),  # declares 48 octets: the frame ends inside GOOD[0]
    (b"BUFR\x00\x10\x00\x03" + bytes(32),
     f"message is cut short: it declares 4096 octets and {40 + len(GOOD[0])} remain"),
])
def test_a_message_inside_a_broken_or_cut_one_is_found(head, error):
    read = norvane.read(head + GOOD[0], errors="skip")
    assert [(m.index, m.offset) for m in read] == [(1, 40)]
    assert read.skipped == [SkippedMessage(0, 0, f"message 0 at offset 0: {error}")]


def test_junk_full_of_markers_is_one_report_until_a_message():
    data = b"BUFR" * 1000 + GOOD[0] + b"BUFR\xff"
    read = norvane.read(data, errors="skip")
    assert [(m.index, m.offset) for m in read] == [(1, 4000)]
    assert [(s.index, s.offset) for s in read.skipped] == [(0, 0), (2, 4000 + len(GOOD[0]))]


@pytest.mark.parametrize(("data", "text"), [
    (b"", "the source is empty"),
    (b"plain text, no marker\n", "no BUFR message in 22 octets"),
    (b"xxBUFR\0", "message 0 at offset 2: message is cut short: 5 octets remain"),
    (GOOD[0][:-1], f"message 0 at offset 0: message is cut short: it declares {len(GOOD[0])} octets and "
                   f"{len(GOOD[0]) - 1} remain"),
])
def test_sources_without_a_whole_message_are_reported(tmp_path, data, text):
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    with pytest.raises(ReadError, match=f"^{re.escape(text)}$"):
        list(norvane.read(path))
    read = norvane.read(data, errors="skip")
    assert (list(read), read.skipped) == ([], [SkippedMessage(0, 2 if data.startswith(b"xx") else 0, text)])


def test_file_objects_are_read_from_their_position(tmp_path):
    path = tmp_path / "two.bufr"
    path.write_bytes(GOOD[0] + GOOD[1])
    with path.open("rb") as file:
        file.seek(len(GOOD[0]))
        assert [(m.offset, m.edition) for m in norvane.read(file)] == [(0, 3)]


def test_decode_failure_is_a_read_error_naming_the_message(root):
    data = GOOD[0] + message(3, descriptors=[1002])
    messages = list(norvane.read(data, definitions=root))
    with pytest.raises(ReadError) as info:
        messages[1].decode()
    assert (str(info.value), info.value.index, info.value.offset) == (
        f"message 1 at offset {len(GOOD[0])}: descriptor 001002 was not found in Table B", 1, len(GOOD[0]))


def test_tables_are_loaded_once_per_key_and_local_ones_merged(root):
    keys = [dict(local_version=1), dict(), dict(centre=7), dict(local_version=1), dict(local_version=1, centre=7)]
    data = b"".join(message(3, **k) for k in keys) * 3
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        read = norvane.read(data, definitions=root)
        decoded = [(m.decode()[0].name, m.table_source) for m in read]
    wmo = f"ecCodes {root}/bufr/tables/0/wmo/13"
    local = f"{wmo} + local {root}/bufr/tables/0/local/1/98/0"
    assert decoded[:5] == [("LOCAL BLOCK", local), ("WMO BLOCK NUMBER", wmo), ("WMO BLOCK NUMBER", wmo),
                           ("LOCAL BLOCK", local), ("WMO BLOCK NUMBER", wmo)]
    assert decoded[5:] == decoded[:5] * 2
    # Keys without local tables are one key whatever the centre; centre 7 has no local tables 1.
    assert read.table_loads == 3 and [str(w.message).split(" asks")[0] for w in caught] == [
        f"message 4 at offset {4 * len(message(3))}"]


def test_missing_local_tables_warn_once_per_key(root):
    names_line = test_missing_local_tables_warn_once_per_key.__code__.co_firstlineno + 6
    data = message(3, local_version=2) * 3 + message(3, local_version=2, centre=7) + message(3, local_version=255)
    with pytest.warns(TablesWarning) as caught:
        names = []
        for m in norvane.read(data, definitions=root):
            names.append(m.decode()[0].name)  # the warnings point at this line
    assert names == ["WMO BLOCK NUMBER"] * 5
    assert [str(w.message) for w in caught] == [
        f"message {i} at offset {i * len(message(3))} asks for local tables version 2 of centre {c} sub-centre 0, "
        f"which ecCodes {root}/bufr/tables/0/wmo/13 does not have; it is decoded with the master tables only"
        for i, c in [(0, 98), (3, 7)]]
    assert {(w.filename, w.lineno) for w in caught} == {(__file__, names_line)}


def test_a_given_table_set_serves_every_message(root):
    tables = _norvane.TableSet.from_eccodes(str(root / "bufr/tables/0/wmo/13"))
    read = norvane.read(b"".join(GOOD) + message(3, master_version=99), tables=tables)
    assert [(m.table_source, len(m.decode())) for m in read] == [("the TableSet given to read()", 2)] * 4
    assert read.table_loads == 0


def test_tables_that_cannot_load_fail_each_message_that_needs_them(root):
    read = norvane.read(message(3, master_version=99) * 2 + GOOD[1], definitions=root)
    first, second, good = read
    missing = f"ecCodes table directory does not exist: {root}/bufr/tables/0/wmo/99"
    for m in (first, second):
        with pytest.raises(ReadError, match=f"^message {m.index} at offset {m.offset}: .*{re.escape(missing)}$"):
            m.decode()
    assert len(good.decode()) == 2 and read.table_loads == 1


def test_without_definitions_the_bundled_tables_decode(monkeypatch):
    def nothing(explicit=None):
        raise norvane.DefinitionsNotFound("no definitions here")

    monkeypatch.setattr(norvane.table_cache, "find_definitions_root", nothing)
    [m] = norvane.read(build_message([1001], pack_bits([(5, 7)])))
    if importlib.util.find_spec("norvane.bundled") is None:
        with pytest.raises(norvane.DefinitionsNotFound, match="no definitions here\nand this norvane has no bundled"):
            m.decode()
    else:
        from norvane.bundled import BUNDLED_SOURCE

        assert (m.table_source, [v.raw_value for v in m.decode()]) == (BUNDLED_SOURCE, [5.0])


@pytest.mark.parametrize(("source", "kwargs", "error"), [
    (b"", dict(errors="ignore"), "errors must be 'raise' or 'skip', not 'ignore'"),
    (b"", dict(tables=object()), "tables must be a norvane.TableSet, not object"),
    (b"", dict(tables=_norvane.TableSet(), definitions="x"), "read() takes tables or definitions, not both"),
    (3, {}, "read() takes a path, a bytes-like object or a binary file, not int"),
    (memoryview(b"BUFR....")[::2], {}, "read() takes a contiguous buffer"),
])
def test_bad_arguments(source, kwargs, error):
    with pytest.raises((TypeError, ValueError)) as info:
        norvane.read(source, **kwargs)
    assert str(info.value) == error


def test_a_named_pipe_is_read_as_a_stream(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=(SOURCE,))
    writer.start()
    with norvane.read(fifo, errors="skip") as read:
        assert [(m.index, m.offset, m.edition) for m in read] == [(0, OFFSETS[0], 4), (2, OFFSETS[2], 3),
                                                                   (4, OFFSETS[4], 2)]
    writer.join()
    assert read.skipped == expected_skipped()


def test_an_explicit_definitions_root_must_hold_tables(tmp_path):
    with pytest.raises(norvane.DefinitionsNotFound, match="is not an ecCodes definitions root"):
        norvane.read(b"", definitions=tmp_path)


def test_reader_module_shares_the_classes_of_the_extension(root):
    tables, master_dir, local_dir = _reader.load_tables(str(root), 0, 13, 1, 98, 0)
    assert type(tables) is _norvane.TableSet
    assert (master_dir, local_dir) == (f"{root}/bufr/tables/0/wmo/13", f"{root}/bufr/tables/0/local/1/98/0")
    buffer = b"xx" + message(3)
    [value, _] = _reader.decode(buffer, 2, len(buffer) - 2, tables)
    assert (type(value), value.name) == (_norvane.DecodedValue, "LOCAL BLOCK")
    outside = f"^message at offset 3 of length 50 lies outside a buffer of {len(buffer)} octets$"
    with pytest.raises(ValueError, match=outside):
        _reader.decode(buffer, 3, 50, tables)


def test_closing_a_reader_releases_its_mapping(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(GOOD[0])
    with norvane.read(path) as read:
        [m] = read
    with pytest.raises(ReadError, match="^message 0 at offset 0: mmap closed or invalid$"):
        m.decode()


def test_references_are_released_on_every_path(root):
    data = SOURCE + message(3, descriptors=[1002])
    tables = _norvane.TableSet.from_eccodes(str(root / "bufr/tables/0/wmo/13"))
    before = sys.getrefcount(data), sys.getrefcount(tables)
    for _ in range(3):
        read = norvane.read(data, tables=tables, errors="skip")
        for m in read:
            with contextlib.suppress(ReadError):
                m.decode()
            m.descriptors, m.table_source
        with pytest.raises(ReadError):
            list(norvane.read(data, tables=tables))
        del read, m
    assert (sys.getrefcount(data), sys.getrefcount(tables)) == before
