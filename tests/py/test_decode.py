"""Data section decoding end to end: small messages against a small table directory."""

import gc
import sys

import pytest

from bufr_writer import build_message, compressed_fields, uncompressed_fields, write_table_dir
from norvane import _norvane

ELEMENTS = [
    (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    (1002, "WMO STATION NUMBER", "Numeric", 0, 0, 10),
    (1015, "STATION OR SITE NAME", "CCITT IA5", 0, 0, 32),
    (1197, "WIDE TEXT", "CCITT IA5", 0, 0, 65),
    (1198, "TOO WIDE", "Numeric", 0, 0, 65),
    (1199, "WIDE NUMBER", "Numeric", 0, 0, 64),
    (2001, "TYPE OF STATION", "CODE TABLE", 0, 0, 2),
    (5001, "SHIFTED COUNT", "Numeric", 0, -2, 4),
    (7004, "PRESSURE", "Pa", -2, 0, 8),
    (8002, "EIGHT BIT VALUE", "Numeric", 0, 0, 8),
    (12001, "OFFSET VALUE", "K", 1, -40, 7),
    (12101, "TEMPERATURE", "K", 2, 0, 16),
    (12103, "DEW-POINT", "K", 2, -100, 12),
    (31001, "DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8),
    (31021, "ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    (31031, "DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1),
]
# 340002 -> 340003 -> ... -> 340065 -> 001001 nests 64 levels; 340001 in front makes 65.
SEQUENCES = {340000 + k: [340000 + k + 1] for k in range(1, 65)} | {
    340065: [1001], 301001: [1001, 1002], 300001: [300001], 301010: [222000], 301020: [1001, 400001]}
CODE_TABLES = {2001: {0: "Automatic", 1: "Manned", 3: "Missing value"}}
PACKED = {"subsets": 2, "compressed": True}
E = "csv/table parse error: "


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    path = write_table_dir(tmp_path_factory.mktemp("tables"), ELEMENTS, SEQUENCES, CODE_TABLES)
    return _norvane.TableSet.from_eccodes(str(path))


def decode(tables, descriptors, fields=(), **options):
    return _norvane.decode_values_with_tables(build_message(descriptors, list(fields), **options), tables)


def packed(tables, descriptors, fields, subsets):
    return decode(tables, descriptors, fields, subsets=subsets, compressed=True)


def rows(values):
    return [(v.descriptor, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in values]


@pytest.mark.parametrize(("descriptors", "fields", "text"), [
    ([1001], [(5, 7)], "DecodedValue(001001, Some(5.0))"),
    ([1001], [(127, 7)], "DecodedValue(001001, None)"),
    ([12101], [(27315, 16)], "DecodedValue(012101, Some(273.15))"),
    ([1015], [(b'a"\\\x00', 32)], 'DecodedValue(001015, "a\\"\\\\\\0")'),
    ([1015], [(b"\xff" * 4, 32)], "DecodedValue(001015, Some(1004.0))"),
    ([2001], [(1, 2)], 'DecodedValue(002001, "Manned")'),
    ([2001], [(3, 2)], 'DecodedValue(002001, "Missing value")'),
    ([222000], [], "DecodedValue(222000, Some(0.0))"),
    ([1199], [(2**64 - 1, 64)], "DecodedValue(001199, Some(1.8446744073709552e19))"),
])
def test_repr(tables, descriptors, fields, text):
    assert repr(decode(tables, descriptors, fields)[0]) == text


def test_attributes_of_each_kind(tables):
    numeric, missing, meaning, text, blank, marker, associated, element = decode(
        tables, [12101, 1001, 2001, 1015, 1015, 222000, 204003, 1001],
        [(27315, 16), (127, 7), (1, 2), (b"AB  ", 32), (b"\xff" * 4, 32), (7, 3), (5, 7)])
    assert (numeric.name, numeric.raw, numeric.raw_value, numeric.data) == ("TEMPERATURE", 27315, 273.15, 273.15)
    assert (missing.raw, missing.raw_value, missing.data) == (127, None, None)
    assert (meaning.raw_value, meaning.raw_meaning, meaning.data) == (1.0, "Manned", "Manned")
    assert (text.raw, text.raw_meaning, text.raw_text, text.raw_value, text.data) == (None, None, "AB", 1004.0, "AB")
    assert (blank.raw_text, blank.data) == (None, 2004.0)
    assert (marker.descriptor, marker.name, marker.raw, marker.raw_value, marker.data) == (222000, "operator", 0, 0, 0)
    assert (associated.descriptor, associated.name, associated.raw, associated.raw_value) == (
        999999, "associatedField", 7, 7.0)
    assert element.descriptor == 1001
    with pytest.raises(AttributeError):
        numeric.raw = 1
    assert not gc.is_tracked(numeric) and sys.getsizeof(numeric) < 100
    assert missing.name is element.name  # one str per distinct name in a call


@pytest.mark.parametrize(("descriptors", "fields", "subsets", "expected"), [
    ([1001, 1002], [(5, 7), (300, 10), (6, 7), (301, 10)], 2, [5, 300, 6, 301]),
    ([1002, 201132], [(300, 10), (301, 10)], 2, [300, 301]),  # operators end with the subset
    ([102003, 1001, 1002], [(1, 7), (2, 10)] * 3, 1, [1, 2] * 3),
    ([101000, 31001, 12101], [(2, 8), (1, 16), (2, 16)], 1, [2, 0.01, 0.02]),
    ([101000, 1001, 12101], [(127, 7)], 1, [None]),  # a missing factor repeats nothing
    ([101000, 5001, 12101], [(0, 4)], 1, [-2]),  # nor does a negative one
    ([301001, 340002], [(1, 7), (2, 10), (3, 7)], 1, [1, 2, 3]),  # 64 levels deep
    ([222000, 201130, 301010], [(0xFFFF, 16)], 1, [0, 0]),  # left-over bits are ignored
    ([1015], [(b"AB  ", 32)] * 3, 3, [1004, 2004, 3004]),  # texts are numbered across subsets
])
def test_walk(tables, descriptors, fields, subsets, expected):
    assert [v.raw_value for v in decode(tables, descriptors, fields, subsets=subsets)] == expected


@pytest.mark.parametrize(("code", "field", "expected"), [
    (12001, (100, 7), (100, 6.0, None)),
    (7004, (3, 8), (3, 3 / 0.01, None)),
    (31001, (255, 8), (255, 255.0, None)),  # class 31 is never missing
    (1015, (b"\xffA  ", 32), (None, 1004.0, "?A")),
    (1015, (b" \x00A\x00", 32), (None, 1004.0, " \x00A\x00")),
    (1197, (b"ABCDEFGH\xff", 65), (None, 1008.0, "ABCDEFGH?")),  # 8 octets and 1 bit
])
def test_element(tables, code, field, expected):
    [decoded] = decode(tables, [code], [field])
    assert (decoded.raw, decoded.raw_value, decoded.raw_text) == expected


@pytest.mark.parametrize(("descriptors", "fields", "expected"), [
    ([201130, 1002, 201000, 1002], [(1000, 12), (300, 10)], [(1002, 1000, 1000.0), (1002, 300, 300.0)]),
    ([201100, 1002, 201000, 1001], [(5, 7)], [(1002, 0, None), (1001, 5, 5.0)]),
    ([202129, 12101, 202000, 12101], [(27315, 16)] * 2, [(12101, 27315, 27.315), (12101, 27315, 273.15)]),
    ([207001, 12103, 207000, 12103], [(1500, 16), (150, 12)], [(12103, 1500, 0.5), (12103, 150, 0.5)]),
    ([207001, 201000, 12103], [(1500, 12)], [(12103, 1500, 0.5)]),  # 201000 keeps 207's scale
    # code and flag tables keep their Table B width, scale and reference under 201, 202 and 207
    ([201130, 2001, 1002, 201000], [(1, 2), (1000, 12)], [(2001, 1, 1.0), (1002, 1000, 1000.0)]),
    ([202129, 2001, 202000], [(2, 2)], [(2001, 2, 2.0)]),
    ([207001, 31031, 12103, 207000], [(1, 1), (1500, 16)], [(31031, 1, 1.0), (12103, 1500, 0.5)]),
    ([206003, 1002, 1002], [(5, 3), (300, 10)], [(1002, 5, 5.0), (1002, 300, 300.0)]),
    ([206000, 1002, 1001], [(5, 7)], [(1002, 0, None), (1001, 5, 5.0)]),
    ([206003, 1015, 1002], [(b"AB  ", 32), (300, 10)], [(1015, None, 1004.0), (1002, 300, 300.0)]),
    ([208010, 1015, 208000, 1015], [(b"ABCDEFGHIJ", 80), (b"XY  ", 32)], [(1015, None, 1010.0), (1015, None, 2004.0)]),
    ([204007, 1001, 204000, 1001], [(127, 7), (5, 7), (6, 7)],
     [(999999, 127, 127.0), (1001, 5, 5.0), (1001, 6, 6.0)]),
    ([204004, 31021, 12101], [(1, 6), (15, 4), (27315, 16)],
     [(31021, 1, 1.0), (999999, 15, 15.0), (12101, 27315, 273.15)]),
])
def test_operator_state(tables, descriptors, fields, expected):
    assert [(v.descriptor, v.raw, v.raw_value) for v in decode(tables, descriptors, fields)] == expected


@pytest.mark.parametrize(("operator", "marked"), [
    (222000, True), (222001, False), (223000, True), (241000, True), (241255, True), (243000, False),
    (228000, False), (203000, False), (203255, False), (221005, False), (235000, True), (236001, False),
    (262000, True), (263000, False),
])
def test_operator_markers(tables, operator, marked):
    values = decode(tables, [operator, 1001], [(5, 7)])
    assert [(v.descriptor, v.name, v.raw) for v in values] == [(operator, "operator", 0)] * marked + [
        (1001, "WMO BLOCK NUMBER", 5)]  # no operator here reads bits


BASE, BASE_FIELDS = [1001, 1002, 12101], [(5, 7), (300, 10), (27315, 16)]
FOLLOW = [(0, 1), (1, 1), (0, 1), (9, 7), (270, 16)]  # a bitmap marking 001001 and 012101, then their values


@pytest.mark.parametrize(("descriptors", "fields", "tail"), [
    *(pytest.param([*BASE, 236000, 101003, 31031, op, *[op + 255] * 3, 237000, op + 255, 237255, op + 255],
                   [*BASE_FIELDS, *FOLLOW, (8, 7)],
                   [(op, 0), (1001, 9), (12101, 270), (237000, 0), (1001, 8), (237255, 0)], id=f"{op}-defined")
      for op in (223000, 224000, 232000)),
    *(pytest.param([*BASE, op, 31031, 31031, 31031, *[op + 255] * 3], [*BASE_FIELDS, *FOLLOW],
                   [(op, 0), (31031, 0), (31031, 1), (31031, 0), (1001, 9), (12101, 270)], id=f"{op}-right-after")
      for op in (223000, 224000, 232000)),
    # Bitmap positions count from the first element of the history.
    pytest.param([1001, 1002, 236000, 101004, 31031, 223000, 223255],
                 [(5, 7), (300, 10), (0, 1), (1, 1), (0, 1), (1, 1), (9, 7)], [(223000, 0), (1001, 9)], id="history"),
    # The quality value after the first bitmap enters the history; the second bitmap still refers to the
    # elements before 222000 unless 235000 cancelled that reference.
    pytest.param([1001, 1002, 222000, 31031, 31031, 1001, 223000, 31031, 31031, 223255, 223255],
                 [(5, 7), (300, 10), (0, 1), (0, 1), (7, 7), (1, 1), (0, 1), (301, 10)],
                 [(31031, 1), (31031, 0), (1002, 301)], id="after-222000"),
    pytest.param([1001, 1002, 222000, 31031, 31031, 1001, 235000, 223000, 31031, 31031, 223255, 223255],
                 [(5, 7), (300, 10), (0, 1), (0, 1), (7, 7), (1, 1), (0, 1), (8, 7)],
                 [(31031, 1), (31031, 0), (1001, 8)], id="235000"),
    # The 031031 after 237000 extends the bitmap of 222000 rather than starting one for 223000.
    pytest.param([1001, 1002, 222000, 31031, 31031, 223000, 237000, 223255, 31031, 237000, 223255, 223255],
                 [(5, 7), (300, 10), (1, 1), (0, 1), (301, 10), (1, 1), (302, 10)],
                 [(237000, 0), (1002, 301), (31031, 1), (237000, 0), (1002, 302)], id="237000"),
])
def test_bitmaps(tables, descriptors, fields, tail):
    assert [(v.descriptor, v.raw) for v in decode(tables, descriptors, fields)][-len(tail):] == tail


def test_character_data(tables):
    # 208YYY and 204YYY do not apply; the texts are numbered with those of text elements.
    values = decode(tables, [1015, 205003, 1002, 208002, 204003, 205001, 204000, 205002, 205000],
                    [(b"AB  ", 32), (b"xyz", 24), (300, 10), (b"Q", 8), (b"\xff\xff", 16)])
    assert rows(values) == [
        (1015, None, 1004.0, "AB", None), (205003, None, 2003.0, "xyz", None), (1002, 300, 300.0, None, None),
        (205001, None, 3001.0, "Q", None), (205002, None, 4002.0, None, None), (205000, None, 5000.0, None, None)]
    assert values[1].name == "characterData"
    decoded = packed(tables, [205002, 1001, 205002], [
        (b"AB", 16), (0, 6), (5, 7), (0, 6), (b"\0\0", 16), (2, 6), (b"CD", 16), (b"\xff\xff", 16)], 2)
    assert [(v.descriptor, v.raw_value, v.raw_text) for v in decoded] == [
        (205002, 1002.0, "AB"), (1001, 5.0, None), (205002, 3002.0, "CD"),
        (205002, 2002.0, "AB"), (1001, 5.0, None), (205002, 4002.0, None)]
    assert decoded[0].raw_text is decoded[3].raw_text  # a text common to all subsets is one str


@pytest.mark.parametrize(("descriptors", "fields", "values"), [
    # -100 (sign bit set) replaces 012101's reference until 203000.
    ([203008, 12101, 203255, 12101, 203000, 12101], [(0x80 | 100, 8), (27315, 16), (27315, 16)], [272.15, 273.15]),
    # 207001 multiplies the Table B reference of 012103, not a new one.
    ([207001, 203008, 12103, 203255, 12103, 207000, 12103], [(5, 8), (1500, 16), (150, 12)], [1.505, 1.55]),
    ([203070, 12101, 203255, 12101], [(1, 1), (0, 6), (5, 63), (1000, 16)], [9.95]),  # wider than 64 bits fits
    # A 225255 difference value is one bit wider, with its own reference.
    ([12101, 203008, 12101, 203255, 236000, 31031, 225000, 225255], [(100, 16), (7, 8), (0, 1), (65537, 17)],
     [1.0, 0.0, 0.0, 0.0, 0.01]),
])
def test_new_reference_values(tables, descriptors, fields, values):
    assert [v.raw_value for v in decode(tables, descriptors, fields)] == pytest.approx(values)


@pytest.mark.parametrize(("code", "fields", "raws", "values"), [
    (8002, [(10, 8), (2, 6), (0, 2), (3, 2), (1, 2)], [10, 255, 11], [10.0, None, 11.0]),
    (8002, [(255, 8), (0, 6)], [255] * 3, [None] * 3),
    (31001, [(255, 8), (0, 6)], [255] * 3, [255.0] * 3),
    (8002, [(255, 8), (3, 6), (1, 3), (2, 3), (5, 3)], [255] * 3, [None] * 3),
])
def test_compressed_numeric_column(tables, code, fields, raws, values):
    decoded = packed(tables, [code, 1001], [*fields, (5, 7), (0, 6)], 3)
    assert [(v.raw, v.raw_value) for v in decoded[::2]] == list(zip(raws, values))
    assert [v.raw for v in decoded[1::2]] == [5] * 3  # the column was read to its end


# What only the compressed layout has; the walk itself is shared (test_layouts_agree.py).
@pytest.mark.parametrize(("descriptors", "fields", "expected"), [
    ([2001], [(0, 2), (2, 6), (1, 2), (3, 2)], [(1, 1.0, "Manned"), (3, None, "Missing value")]),
    ([201120, 8002], [(0, 6)], [(0, None, None)] * 2),  # zero width is missing
    ([1015, 1015], [(b"AB  ", 32), (0, 6), (b"XY  ", 32), (0, 6)],
     [(None, 1004.0, "AB"), (None, 3004.0, "XY"), (None, 2004.0, "AB"), (None, 4004.0, "XY")]),
    ([1015], [(b"\0" * 4, 32), (4, 6), (b"CD  ", 32), (b"\xff" * 4, 32)], [(None, 1004.0, "CD"), (None, 2004.0, None)]),
    ([101000, 8002, 1001], [(255, 8), (0, 6)], [(255, None, None)] * 2),  # missing outside class 31: no repetition
    ([1001], [(5, 7), (0, 6)], []),  # no subsets
])
def test_compressed_columns(tables, descriptors, fields, expected):
    decoded = packed(tables, descriptors, fields, 2 if expected else 0)
    assert [(v.raw, v.raw_value, v.raw_text or v.raw_meaning) for v in decoded] == expected


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize(("factor", "expected"), [
    # A delayed replication factor is read like an element: outside class 31 it has an associated field.
    (8002, [(999999, 5), (8002, 2), (999999, 1), (1001, 10), (999999, 2), (1001, 11)]),
    (31001, [(31001, 2), (999999, 1), (1001, 10), (999999, 2), (1001, 11)]),
])
def test_associated_field_of_a_delayed_factor(tables, compressed, factor, expected):
    subsets = 2 if compressed else 1
    widths = {999999: 3, 8002: 8, 31001: 8, 1001: 7}
    columns = [("numeric", widths[code], [raw] * subsets) for code, raw in expected]
    fields = compressed_fields(columns) if compressed else uncompressed_fields(columns, subsets)
    decoded = decode(tables, [204003, 101000, factor, 1001, 204000], fields, subsets=subsets, compressed=compressed)
    assert [(v.descriptor, v.raw) for v in decoded] == expected * subsets


@pytest.mark.parametrize(("descriptors", "fields", "options", "text"), [
    ([103000, 31001, 1001, 1002], [], {}, "delayed replication descriptor 103000 is missing its replication factor "
     "or replicated descriptors"),
    ([103000, 31001, 1001], [], {}, "unsupported replication descriptor 103000"),
    ([100000, 1001], [], {}, "unsupported replication descriptor 100000"),
    ([340001], [], {}, E + "descriptor decode exceeded recursion depth"),
    ([301199], [], {}, "descriptor 301199 was not found in Table D"),
    ([12250], [], {}, "descriptor 012250 was not found in Table B"),
    ([101000, 12250, 1001], [], {}, "descriptor 012250 was not found in Table B"),
    ([301020], [(1, 7)], {}, E + "invalid descriptor 400001"),
    # The associated field is read before the element is looked up.
    ([204002, 12250], [], {}, E + "not enough bits while reading section 4 at bit 0 for width 2 (0 bits available)"),
    ([1002], [(1, 8)], {}, E + "not enough bits while reading section 4 at bit 0 for width 10 (8 bits available)"),
    ([1198], [(0, 72)], {}, E + "cannot read 65 bits into u64"),
    ([1001, 1002, 236000, 101004, 31031, 223000, 223255, 223255], [(5, 7), (300, 10), (0, 1), (1, 1), (0, 1), (1, 1),
     (9, 7)], {}, E + "bitmap reference is outside descriptor history"),
    ([203070, 12101], [(0, 1), (1, 6), (0, 63)], {},
     E + "new reference value of 70 bits for 012101 does not fit in 64 bits"),
    ([203008, 12250], [(0, 8)], {}, "descriptor 012250 was not found in Table B"),
    ([203008, 12101, 203255], [(0, 8), (0, 6)], PACKED,
     E + "change of reference values (203YYY) in compressed data is not implemented"),
    ([101000, 31001, 1001], [(2, 8), (1, 6), (0, 1), (1, 1)], PACKED,
     E + "compressed delayed replication with varying factors is not implemented"),
    ([300001], [], PACKED, E + "compressed descriptor decode exceeded recursion depth"),
    ([1001], [(5, 7)], PACKED, E + "not enough bits while reading section 4 at bit 7 for width 6 (8 bits available)"),
    ([1001], [], PACKED, E + "not enough bits while reading section 4 at bit 0 for width 7 (0 bits available)"),
    ([301020], [(1, 7), (0, 6)], PACKED, E + "invalid descriptor 400001"),
    ([1001, 236000, 31031, 223000, 223255], [(5, 7), (0, 6), (0, 1), (1, 6), (0, 1), (1, 1)], PACKED,
     E + "compressed data present bitmap varying between subsets is not implemented"),
])
def test_errors(tables, descriptors, fields, options, text):
    with pytest.raises(ValueError) as caught:
        decode(tables, descriptors, fields, **options)
    assert str(caught.value) == text


MESSAGE = build_message([1001], [(5, 7)])


@pytest.mark.parametrize(("data", "text"), [
    (b"junk" + MESSAGE + build_message([1001], [(6, 7)], edition=3) + b"junk", None),  # the first message counts
    (b"no marker here", "missing BUFR marker"),
    (b"xxBUFR\0\0", "message is too short to be BUFR"),
])
def test_message_search(tables, data, text):
    if text is None:
        assert rows(_norvane.decode_values_with_tables(data, tables)) == [(1001, 5, 5.0, None, None)]
    else:
        with pytest.raises(ValueError, match=text):
            _norvane.decode_values_with_tables(data, tables)


def test_table_sources(tmp_path, tables):
    with pytest.raises(ValueError, match="unsupported BUFR edition 3"):  # reported before any table is read
        _norvane.decode_values(build_message([1001], edition=3), str(tmp_path / "absent"))
    write_table_dir(tmp_path / "bufr/tables/0/wmo/35", ELEMENTS, {}, CODE_TABLES)
    by_dir = _norvane.decode_values(MESSAGE, str(tmp_path / "bufr/tables/0/wmo/35"))
    by_root = _norvane.decode_values_with_definitions(MESSAGE, str(tmp_path))
    assert rows(by_dir) == rows(by_root) == [(1001, 5, 5.0, None, None)]
    data = build_message([1001, 12250], [(5, 7)])
    before = sys.getrefcount(data), sys.getrefcount(tables)
    for _ in range(3):
        with pytest.raises(ValueError):
            _norvane.decode_values_with_tables(data, tables)
        _norvane.decode_values_with_tables(MESSAGE, tables)
    assert (sys.getrefcount(data), sys.getrefcount(tables)) == before
