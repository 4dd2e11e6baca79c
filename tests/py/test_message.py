"""The message layer: framing checks in order, the section fields and the BufrMessage record
(parse_bytes / parse_file), and finding messages by marker and length (parse_all_bytes / parse_all_file)."""

import pytest

from bufr_writer import assemble, build_message, pack_bits, section1, section3, section4
from norvane import _norvane

S1, S1_LOCAL = section1(), section1(flags=0x80)  # 22 octets at offset 8: section 3 starts at 30
S3 = section3([1001])  # 9 octets: section 4 starts at 39
S4 = section4(b"\x01\x02")  # 6 octets: section 5 starts at 45
VALID = assemble(S1, S3, S4)
TOO_SHORT, MARKER = "message is too short to be BUFR", "missing BUFR marker"
TERMINATOR = "section 5 terminator is not 7777"


edition = "unsupported BUFR edition {}; only edition 4 is implemented".format
mismatch = "declared length {} does not match buffer length {}".format
truncated = "section {} at offset {} is truncated".format


def value_error(data):
    with pytest.raises(ValueError) as info:
        _norvane.parse_bytes(data)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


FRAMING_ERRORS = [
    ("section 0 alone", b"BUFR\x00\x00\x08\x04", truncated(1, 8)),
    ("marker BUFX", b"BUFX" + VALID[4:], MARKER),
    ("edition 3", VALID[:7] + b"\x03" + VALID[8:], edition(3)),
    ("edition before length", b"BUFR\xff\xff\xff\x03", edition(3)),
    ("one octet more", VALID + b"\x00", mismatch(len(VALID), len(VALID) + 1)),
    ("L1 past the end", assemble(section1(length=len(S1 + S3 + S4) + 5), S3, S4), truncated(1, 8)),
    ("L1 reaching the end", assemble(section1(length=len(S1 + S3 + S4) + 4), S3, S4), truncated(3, len(VALID))),
    ("year beyond 18 octets", b"BUFR\x00\x00\x12\x04\x00\x00\x03" + bytes(7), truncated(0, 23)),
    # Section 1 cut before its fixed octets 18 and 30: once an internal fault, now an input error.
    ("11 octets, L1 = 3", b"BUFR\x00\x00\x0b\x04\x00\x00\x03", truncated(1, 8)),
    ("17 octets, L1 = 3", b"BUFR\x00\x00\x11\x04\x00\x00\x03" + bytes(6), truncated(1, 8)),
    ("sections 2 to 5 within 29 octets", assemble(b"\x00\x00\x03", section3([], observed=False), section4(),
                                                   total_length=29) + bytes(3), truncated(1, 8)),
    ("section 2 flagged, absent", assemble(S1_LOCAL, section3([]), section4()), truncated(3, 37)),
    ("section 2 past the end", assemble(S1_LOCAL, b"\xff\xff\xff\x00", S3, S4), truncated(2, 30)),
    ("section 2 header cut", assemble(S1_LOCAL, b"ab", terminator=b""), truncated(2, 30)),
    ("section 3 header cut", assemble(S1, b"\x00\x00", terminator=b""), truncated(3, 30)),
    ("L3 = 6", assemble(S1, section3([], length=6), section4()), truncated(3, 30)),
    ("L3 past the end", assemble(S1, section3([1001], length=0xFFFFFF), S4), truncated(3, 30)),
    ("L3 even, no section 4", assemble(S1, section3([1001], extra=b"\x00"), terminator=b""), truncated(4, 40)),
    ("section 4 at octet 120", assemble(section1(extra=bytes(81)), S3, terminator=b""), truncated(4, 120)),
    ("L4 past the end", assemble(S1, S3, section4(b"\x01\x02", length=100)), truncated(4, 39)),
    ("L4 = 0 reads the terminator at s4", assemble(S1, S3, section4(length=0)), TERMINATOR),
    ("terminator cut", assemble(S1, S3, S4, terminator=b"777"), truncated(5, 45)),
    ("terminator 7778", assemble(S1, S3, S4, terminator=b"7778"), TERMINATOR),
]


@pytest.mark.parametrize(("data", "text"), [c[1:] for c in FRAMING_ERRORS], ids=[c[0] for c in FRAMING_ERRORS])
def test_framing_error(data, text):
    assert value_error(data) == text


def test_every_prefix_of_a_message_is_rejected():
    message = build_message([301011, 1001], bytes(range(40)), section2=b"local")
    for end in range(len(message)):
        assert value_error(message[:end]) == (TOO_SHORT if end < 8 else mismatch(len(message), end))


def test_section_fields():
    fields = dict(master_table=7, centre=65535, subcentre=258, update=9, category=10, intl_subcategory=11,
                  local_subcategory=12, master_version=255, local_version=14, year=65534, month=12, day=31,
                  hour=23, minute=59, second=58)
    message = build_message([301011, 1001, 363255, 100000, 0], bytes(13), subsets=65535, compressed=True,
                            section2=b"abc", section1_extra=b"local use", **fields)
    m = _norvane.parse_bytes(message)
    got = {name: getattr(m, name) for name in dir(m) if not name.startswith("_")}
    assert got == {
        "edition": 4, "total_length": len(message), "master_table_number": 7, "originating_centre": 65535,
        "originating_subcentre": 258, "update_sequence_number": 9, "local_section_present": True, "data_category": 10,
        "international_data_subcategory": 11, "local_data_subcategory": 12, "master_tables_version_number": 255,
        "local_tables_version_number": 14, "typical_year": 65534, "typical_month": 12, "typical_day": 31,
        "typical_hour": 23, "typical_minute": 59, "typical_second": 58, "section1_length": 31, "section2_length": 7,
        "section3_length": 17, "section4_length": 17, "number_of_subsets": 65535, "observed_data": True,
        "compressed_data": True, "unexpanded_descriptors": [301011, 1001, 363255, 100000, 0],
        "section4_data_offset": 8 + 31 + 7 + 17 + 4, "section4_data_length": 13,
    }
    assert all(type(v) is (bool if isinstance(v, bool) else type(v)) for v in got.values())
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors
    assert repr(m) == "BufrMessage(edition=4, length=84, subsets=65535, descriptors=[301011, 1001, 363255, 100000, 0])"


LAYOUTS = [
    ("L1 = 18 puts octets 26-29 in section 3", assemble(section1(length=18, month=6)[:18], section3([1001], subsets=2),
     section4()), dict(section1_length=18, typical_month=6, typical_day=0, typical_hour=0, typical_minute=9,
                       typical_second=0, unexpanded_descriptors=[1001], number_of_subsets=2)),
    ("any bit flags section 2", build_message([1001], section2=b"ab", section1_flags=0x01),
     dict(local_section_present=True, section2_length=6, unexpanded_descriptors=[1001])),
    ("L4 = 3: the terminator follows", assemble(S1, S3, b"\x00\x00\x03"),
     dict(section4_length=3, section4_data_offset=43, section4_data_length=0)),
    ("octets after the terminator unread", assemble(S1, S3, S4, total_length=len(VALID) + 3) + b"xyz",
     dict(total_length=len(VALID) + 3, section4_length=6, section4_data_offset=43, section4_data_length=2)),
    ("flags 0x7F: observed clear, compressed set", assemble(S1, S3[:6] + b"\x7f" + S3[7:], S4),
     dict(observed_data=False, compressed_data=True)),
    # Messages converted from edition 3 keep the octet that made section 3 even.
    ("padding octet 00", assemble(S1, section3([], extra=b"\x00"), section4(b"\x07")),
     dict(section3_length=8, unexpanded_descriptors=[], section4_data_length=1)),
    ("padding octet ff", assemble(S1, section3([301011, 4025], extra=b"\xff"), section4(b"\x07")),
     dict(section3_length=12, unexpanded_descriptors=[301011, 4025], section4_data_length=1)),
]


@pytest.mark.parametrize(("data", "expected"), [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
def test_section_layout(data, expected):
    m = _norvane.parse_bytes(data)
    assert {name: getattr(m, name) for name in expected} == expected


def test_writer_packs_bits_most_significant_first():
    assert pack_bits([(5, 7), (300, 10), (b"AB", 12), (b"C", 9)]) == bytes([0x0A, 0x96, 0x20, 0xA2, 0x18])


JUNK = bytes(range(256)) + b"BUF7777"  # no "BUFR" anywhere
M, ED3 = build_message([1001], second=9), build_message([1001], edition=3)


def test_messages_are_found_at_markers_and_the_search_resumes_at_the_declared_end():
    for data in (b"", b"BUF", JUNK, b"7777" * 20, bytes(1000)):
        assert _norvane.parse_all_bytes(data) == []
    m1, m2, m3 = build_message([1001], b"\x01"), build_message([301011, 1002], section2=b"xy"), build_message([])
    found = _norvane.parse_all_bytes(JUNK + m1 + m2 + JUNK[:100] + m3 + JUNK)
    assert [(m.unexpanded_descriptors, m.total_length) for m in found] == [
        ([1001], len(m1)), ([301011, 1002], len(m2)), ([], len(m3))]
    # A marker inside a message is data; the next search starts after the declared end.
    found = _norvane.parse_all_bytes(build_message([], b"BUFR\x00\x00\x08\x04BUFR\x00\x00\x00\x04") + M)
    assert [m.typical_second for m in found] == [5, 9]
    found = _norvane.parse_all_bytes(build_message([], total_length=len(m3) + len(M))[:len(m3)] + M)
    assert [(m.typical_second, m.total_length) for m in found] == [(5, len(m3) + len(M))]


SPLIT_ERRORS = [
    ("marker and 3 octets at the end", M + M + b"BUFR\x00\x00\x00", TOO_SHORT),
    ("declared length 5", b"BUFR\x00\x00\x05\x04xyz", TOO_SHORT),
    ("declared length past the end", JUNK[:5] + M[:-1], truncated(0, 5)),
    ("declared length 8", M + b"BUFR\x00\x00\x08\x04", truncated(1, 8)),
    ("offsets relative to the message", JUNK[:13] + assemble(S1, S3, terminator=b""), truncated(4, 39)),
    ("bad later message", M + JUNK + build_message([1001], terminator=b"7778"), TERMINATOR),
    ("edition 3 after edition 4", M + ED3, edition(3)),
    ("every marker before any parse", ED3 + b"BUFR\xff\xff\xff\x04", truncated(0, len(ED3))),
    # A declared length of 0 would never move the scan past its marker.
    ("declared length 0", b"BUFR\x00\x00\x00\x04", truncated(0, 0)),
    ("declared length 0 after a message", M + b"BUFR\x00\x00\x00\x04" + M, truncated(0, len(M))),
    ("declared length 0 after junk", JUNK[:7] + b"BUFR\x00\x00\x00\x04\x00\x00", truncated(0, 7)),
]


@pytest.mark.parametrize(("data", "text"), [c[1:] for c in SPLIT_ERRORS], ids=[c[0] for c in SPLIT_ERRORS])
def test_split_error(data, text):
    with pytest.raises(ValueError) as info:
        _norvane.parse_all_bytes(data)
    assert info.value.args == (text,)


def test_files_are_read_whole(tmp_path):
    path = tmp_path / "messages.bufr"
    for content in (JUNK, b"\r\n" + M + M + b"\n"):
        path.write_bytes(content)
        found = [repr(m) for m in _norvane.parse_all_file(str(path))]
        assert found == [repr(m) for m in _norvane.parse_all_bytes(content)] and len(found) == content.count(b"BUFR")
    path.write_bytes(M + b"\n")  # one message is all parse_file takes
    with pytest.raises(ValueError, match=f"^{mismatch(len(M), len(M) + 1)}$"):
        _norvane.parse_file(str(path))
    path.write_bytes(M + b"BUFR")
    with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
        _norvane.parse_all_file(str(path))
