"""parse_bytes / parse_file: framing checks in order, the section fields and the BufrMessage record."""

import re

import pytest

from bufr_writer import assemble, build_message, section1, section3, section4
from norvane import _norvane

S1 = section1()              # 22 octets at offset 8: section 3 starts at 30
S1_LOCAL = section1(flags=0x80)
S3 = section3([1001])        # 9 octets: section 4 starts at 39
S4 = section4(b"\x01\x02")   # 6 octets: section 5 starts at 45
VALID = assemble(S1, S3, S4)


def short(total, l1=3):
    """A message of ``total`` octets whose L1 is ``l1``, zero-filled after it."""
    head = b"BUFR" + total.to_bytes(3, "big") + b"\x04" + l1.to_bytes(3, "big")
    return head + bytes(total - len(head))


def with_octet(message, offset, value):
    return message[:offset] + bytes([value]) + message[offset + 1:]


def value_error(data):
    with pytest.raises(ValueError) as info:
        _norvane.parse_bytes(data)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


TOO_SHORT = "message is too short to be BUFR"
MARKER = "missing BUFR marker"
TERMINATOR = "section 5 terminator is not 7777"


def edition(n):
    return f"unsupported BUFR edition {n}; only edition 4 is implemented"


def mismatch(declared, actual):
    return f"declared length {declared} does not match buffer length {actual}"


def truncated(section, offset):
    return f"section {section} at offset {offset} is truncated"


FRAMING_ERRORS = [
    # section 0
    ("empty", b"", TOO_SHORT),
    ("seven octets", b"BUFR\x00\x00\x07", TOO_SHORT),
    ("section 0 alone", b"BUFR\x00\x00\x08\x04", truncated(1, 8)),
    ("nine octets", b"BUFR\x00\x00\x09\x04\x00", truncated(1, 8)),
    ("ten octets", b"BUFR\x00\x00\x0a\x04\x00\x00", truncated(1, 8)),
    ("marker BUFX", b"BUFX" + VALID[4:], MARKER),
    ("marker lower case", b"bufr\x00\x00\x08\x04", MARKER),
    ("marker, eight octets of junk", bytes(8), MARKER),
    ("edition 3", with_octet(VALID, 7, 3), edition(3)),
    ("edition 3, wrong length", b"BUFR\xff\xff\xff\x03", edition(3)),
    ("edition 0, truncated", with_octet(VALID, 7, 0)[:20], edition(0)),
    ("edition 255", with_octet(VALID, 7, 255), edition(255)),
    ("one octet more", VALID + b"\x00", mismatch(len(VALID), len(VALID) + 1)),
    ("one octet less", VALID[:-1], mismatch(len(VALID), len(VALID) - 1)),
    ("declared 0", b"BUFR\x00\x00\x00\x04" + VALID[8:], mismatch(0, len(VALID))),
    ("two messages", VALID + VALID, mismatch(len(VALID), 2 * len(VALID))),
    # section 1
    ("L1 past the end", assemble(section1(length=len(S1) + len(S3) + len(S4) + 5), S3, S4), truncated(1, 8)),
    ("L1 reaching the end exactly", assemble(section1(length=len(S1) + len(S3) + len(S4) + 4), S3, S4),
     truncated(3, len(VALID))),
    ("year beyond 18 octets", short(18), truncated(0, 23)),
    ("year beyond 24 octets", short(24), truncated(0, 23)),
    # section 2: flags octet 17 decides, whatever its bits
    ("section 2 flagged, absent", assemble(S1_LOCAL, section3([]), section4()), truncated(3, 37)),
    ("section 2 flag 0x01, absent", assemble(section1(flags=0x01), section3([]), section4()), truncated(3, 37)),
    ("section 2 length past the end", assemble(S1_LOCAL, b"\xff\xff\xff\x00", S3, S4), truncated(2, 30)),
    ("section 2 header cut", assemble(S1_LOCAL, b"ab", terminator=b""), truncated(2, 30)),
    # section 3
    ("no section 3", assemble(S1, terminator=b""), truncated(3, 30)),
    ("section 3 header cut", assemble(S1, b"\x00\x00", terminator=b""), truncated(3, 30)),
    ("L3 = 0", assemble(S1, section3([], length=0), section4()), truncated(3, 30)),
    ("L3 = 6", assemble(S1, section3([], length=6), section4()), truncated(3, 30)),
    ("L3 past the end", assemble(S1, section3([1001], length=0xFFFFFF), S4), truncated(3, 30)),
    ("L3 even and past the end", assemble(S1, section3([], length=8), terminator=b""), truncated(3, 30)),
    ("L3 even, no section 4", assemble(S1, section3([1001], extra=b"\x00"), terminator=b""), truncated(4, 40)),
    # section 4
    ("no section 4", assemble(S1, S3, terminator=b""), truncated(4, 39)),
    ("section 4 at octet 120", assemble(section1(extra=bytes(81)), S3, terminator=b""), truncated(4, 120)),
    ("L4 past the end", assemble(S1, S3, section4(b"\x01\x02", length=100)), truncated(4, 39)),
    ("L4 = 0 reads the terminator at s4", assemble(S1, S3, section4(length=0)), TERMINATOR),
    ("L4 = 2", assemble(S1, S3, section4(length=2)), TERMINATOR),
    # section 5
    ("no terminator", assemble(S1, S3, S4, terminator=b""), truncated(5, 45)),
    ("terminator cut", assemble(S1, S3, S4, terminator=b"777"), truncated(5, 45)),
    ("terminator 7778", assemble(S1, S3, S4, terminator=b"7778"), TERMINATOR),
    ("terminator late", assemble(S1, S3, S4, terminator=b"\x007777"), TERMINATOR),
]


@pytest.mark.parametrize(("data", "text"), [c[1:] for c in FRAMING_ERRORS], ids=[c[0] for c in FRAMING_ERRORS])
def test_framing_error(data, text):
    assert value_error(data) == text


def test_parse_file_reports_the_same_errors(tmp_path):
    path = tmp_path / "m.bufr"
    path.write_bytes(VALID + b"\n")
    with pytest.raises(ValueError) as info:
        _norvane.parse_file(str(path))
    assert info.value.args == (mismatch(len(VALID), len(VALID) + 1),)
    path.write_bytes(VALID)
    assert _norvane.parse_file(path=str(path)).total_length == len(VALID)


def test_every_prefix_of_a_message_is_rejected():
    message = build_message([301011, 1001], bytes(range(40)), section2=b"local")
    for end in range(len(message)):
        expected = TOO_SHORT if end < 8 else mismatch(len(message), end)
        assert value_error(message[:end]) == expected


def test_corrupted_octets_give_a_consistent_message_or_value_error():
    message = build_message([301011, 1001, 222000], bytes(range(30)), section2=b"xyz")
    for offset in range(8, len(message)):
        for value in {0, 1, 0x7F, 0x80, 0xFF, message[offset] ^ 0x01}:
            data = with_octet(message, offset, value)
            try:
                m = _norvane.parse_bytes(data)
            except ValueError:
                continue
            assert m.section3_length >= 7 and m.section3_length % 2 == 1
            assert len(m.unexpanded_descriptors) == (m.section3_length - 7) // 2
            s4 = 8 + m.section1_length + m.section2_length + m.section3_length
            assert s4 + m.section4_length + 4 <= m.total_length == len(data)
            assert m.section4_data_offset == s4 + 4
            assert m.section4_data_length == max(m.section4_length - 4, 0)
            assert m.local_section_present == (data[17] != 0)
            if not m.local_section_present:
                assert m.section2_length == 0


PANICS = [short(n) for n in range(11, 18)] + [
    assemble(b"\x00\x00\x03", section3([], observed=False), section4(), total_length=n) + bytes(n - 26)
    for n in range(26, 30)
]


@pytest.mark.parametrize("data", PANICS, ids=[f"{len(d)} octets" for d in PANICS])
@pytest.mark.parametrize("function", [_norvane.parse_bytes, _norvane.parse_all_bytes], ids=lambda f: f.__name__)
def test_fixed_section1_octets_beyond_the_buffer_panic(function, data):
    try:
        function(data)
    except Exception as exc:  # must not be catchable as an ordinary error
        pytest.fail(f"raised {exc!r}")
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException"
        assert type(exc).__bases__ == (BaseException,)
        text = str(exc)
        assert re.search(rf"\b{len(data)}\b", text), text
        if len(data) < 18:
            assert re.search(r"\b17\b", text), text
    else:
        pytest.fail("no exception")


FIELDS = dict(
    master_table=7, centre=65535, subcentre=258, update=9, category=10, intl_subcategory=11,
    local_subcategory=12, master_version=255, local_version=14, year=65534, month=12,
    day=31, hour=23, minute=59, second=58,
)


def test_section_fields():
    message = build_message(
        [301011, 1001, 363255, 100000, 0], bytes(13), subsets=65535, compressed=True,
        section2=b"abc", section1_extra=b"local use", **FIELDS,
    )
    m = _norvane.parse_bytes(message)
    got = {name: getattr(m, name) for name in dir(m) if not name.startswith("_")}
    assert got == {
        "edition": 4, "total_length": len(message), "master_table_number": 7,
        "originating_centre": 65535, "originating_subcentre": 258, "update_sequence_number": 9,
        "local_section_present": True, "data_category": 10, "international_data_subcategory": 11,
        "local_data_subcategory": 12, "master_tables_version_number": 255,
        "local_tables_version_number": 14, "typical_year": 65534, "typical_month": 12,
        "typical_day": 31, "typical_hour": 23, "typical_minute": 59, "typical_second": 58,
        "section1_length": 31, "section2_length": 7, "section3_length": 17, "section4_length": 17,
        "number_of_subsets": 65535, "observed_data": True, "compressed_data": True,
        "unexpanded_descriptors": [301011, 1001, 363255, 100000, 0],
        "section4_data_offset": 8 + 31 + 7 + 17 + 4, "section4_data_length": 13,
    }
    for name, value in got.items():
        expected = bool if isinstance(value, bool) else type(value)
        assert type(value) is expected, name


@pytest.mark.parametrize(
    ("octets", "codes"),
    [
        (b"\xc1\x0b\x01\x01", [301011, 1001]),
        (b"\xff\xff\x3f\xff", [363255, 63255]),
        (b"\x40\x00\x80\x01\x00\x00", [100000, 200001, 0]),
        (b"", []),
    ],
)
def test_descriptor_octets(octets, codes):
    s3 = (7 + len(octets)).to_bytes(3, "big") + b"\x00\x00\x01\x80" + octets
    assert _norvane.parse_bytes(assemble(S1, s3, section4())).unexpanded_descriptors == codes


@pytest.mark.parametrize("descriptors", [[], [1001], [301011, 4025]])
@pytest.mark.parametrize("padding", [b"\x00", b"\xff"])
def test_even_section3_has_a_padding_octet_after_the_descriptors(descriptors, padding):
    # Messages converted from edition 3 keep the octet that made section 3 even.
    message = _norvane.parse_bytes(assemble(S1, section3(descriptors, extra=padding), section4(b"\x07")))
    assert message.section3_length == 7 + 2 * len(descriptors) + 1
    assert message.unexpanded_descriptors == descriptors
    assert message.section4_data_length == 1


@pytest.mark.parametrize(
    ("flags", "observed", "compressed"),
    [(0x00, False, False), (0x80, True, False), (0x40, False, True), (0xFF, True, True), (0x3F, False, False)],
)
def test_section3_flags(flags, observed, compressed):
    s3 = bytearray(section3([1001]))
    s3[6] = flags
    m = _norvane.parse_bytes(assemble(S1, bytes(s3), S4))
    assert (m.observed_data, m.compressed_data) == (observed, compressed)


def test_identification_octets_are_read_at_fixed_offsets():
    # L1 = 18: section 3 starts at 26, so octets 26-29 (day, hour, minute, second) lie in its header.
    s1 = section1(length=18, month=6)[:18]
    m = _norvane.parse_bytes(assemble(s1, section3([1001], subsets=2), section4()))
    assert m.section1_length == 18
    assert (m.typical_month, m.typical_day, m.typical_hour, m.typical_minute, m.typical_second) == (6, 0, 0, 9, 0)
    assert m.unexpanded_descriptors == [1001]
    assert m.number_of_subsets == 2


def test_section2_flag_is_the_whole_octet():
    m = _norvane.parse_bytes(build_message([1001], section2=b"ab", section1_flags=0x01))
    assert m.local_section_present is True
    assert m.section2_length == 6
    assert m.unexpanded_descriptors == [1001]


def test_short_section4_and_trailing_octets():
    # L4 = 3: no data; the terminator follows the three length octets.
    m = _norvane.parse_bytes(assemble(S1, S3, b"\x00\x00\x03"))
    assert (m.section4_length, m.section4_data_offset, m.section4_data_length) == (3, 43, 0)
    # Octets between the terminator and the declared end are not examined.
    plain = assemble(S1, S3, S4)
    padded = assemble(S1, S3, S4, total_length=len(plain) + 3) + b"xyz"
    m = _norvane.parse_bytes(padded)
    assert (m.total_length, m.section4_length, m.section4_data_offset, m.section4_data_length) == (
        len(padded), 6, 43, 2)


def test_repr():
    message = build_message([307080, 4025], bytes(71))
    assert len(message) == 120
    assert repr(_norvane.parse_bytes(message)) == "BufrMessage(edition=4, length=120, subsets=1, descriptors=[307080, 4025])"
    empty = build_message([], subsets=0)
    assert repr(_norvane.parse_bytes(empty)) == f"BufrMessage(edition=4, length={len(empty)}, subsets=0, descriptors=[])"


def test_record_is_read_only_and_not_constructible():
    m = _norvane.parse_bytes(VALID)
    for name in [n for n in dir(m) if not n.startswith("_")]:
        with pytest.raises(AttributeError):
            setattr(m, name, 1)
        with pytest.raises(AttributeError):
            delattr(m, name)
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(TypeError):
        _norvane.BufrMessage()
    with pytest.raises(TypeError):
        _norvane.BufrMessage.__new__(_norvane.BufrMessage)


def test_unexpanded_descriptors_is_a_new_list_on_every_read():
    m = _norvane.parse_bytes(VALID)
    first = m.unexpanded_descriptors
    first.append(5)
    first[0] = 0
    assert m.unexpanded_descriptors == [1001]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors
