"""The test writer checked against ecCodes, so message tests do not rest on a faulty builder."""

import pytest

from bufr_writer import build_message, descriptor_octets, pack_bits, write_table_dir


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        ([(1, 1)], b"\x80"),
        ([(5, 7), (300, 10)], b"\x0a\x96\x00"),
        ([(2**64 - 1, 64), (0, 0), (1, 1)], b"\xff" * 8 + b"\x80"),
        ([(b"AB", 24)], b"AB\x00"),
        ([(1, 3), (b"\xff", 8)], b"\x3f\xe0"),
    ],
)
def test_pack_bits(fields, expected):
    assert pack_bits(fields) == expected


def test_pack_bits_refuses_values_wider_than_the_field():
    with pytest.raises(ValueError):
        pack_bits([(8, 3)])


@pytest.mark.parametrize(
    ("code", "octets"), [(301011, b"\xc1\x0b"), (1001, b"\x01\x01"), (363255, b"\xff\xff"), (0, b"\0\0")]
)
def test_descriptor_octets(code, octets):
    assert descriptor_octets(code) == octets


def test_header_agrees_with_eccodes():
    eccodes = pytest.importorskip("eccodes")
    message = build_message(
        [301011, 1001, 12101], subsets=3, compressed=True, centre=254, subcentre=7,
        update=2, category=5, intl_subcategory=6, local_subcategory=7, master_version=33,
        local_version=1, year=2023, month=12, second=59, section2=b"abcd",
    )
    handle = eccodes.codes_new_from_message(message)
    try:
        got = {key: eccodes.codes_get(handle, key) for key in (
            "edition", "totalLength", "bufrHeaderCentre", "bufrHeaderSubCentre",
            "updateSequenceNumber", "section2Present", "dataCategory",
            "internationalDataSubCategory", "dataSubCategory", "masterTablesVersionNumber",
            "localTablesVersionNumber", "typicalYear", "typicalMonth", "typicalSecond",
            "numberOfSubsets", "observedData", "compressedData", "section1Length",
            "section2Length", "section3Length", "section4Length")}
        descriptors = list(eccodes.codes_get_array(handle, "unexpandedDescriptors"))
    finally:
        eccodes.codes_release(handle)
    assert got == {
        "edition": 4, "totalLength": len(message), "bufrHeaderCentre": 254,
        "bufrHeaderSubCentre": 7, "updateSequenceNumber": 2, "section2Present": 1,
        "dataCategory": 5, "internationalDataSubCategory": 6, "dataSubCategory": 7,
        "masterTablesVersionNumber": 33, "localTablesVersionNumber": 1, "typicalYear": 2023,
        "typicalMonth": 12, "typicalSecond": 59, "numberOfSubsets": 3, "observedData": 1,
        "compressedData": 1, "section1Length": 22, "section2Length": 8, "section3Length": 13,
        "section4Length": 4,
    }
    assert descriptors == [301011, 1001, 12101]


def test_table_dir_layout(tmp_path):
    root = write_table_dir(
        tmp_path / "t",
        elements=[(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7)],
        sequences={300002: [2, 3]},
        code_tables={1003: {0: "Antarctica"}},
    )
    rows = (root / "element.table").read_text().splitlines()
    assert rows[0].startswith("#") and len(rows[1].split("|")) == 11
    assert rows[1].split("|")[:8] == ["001001", "element001001", "long", "WMO BLOCK NUMBER",
                                      "Numeric", "0", "0", "7"]
    assert (root / "sequence.def").read_text() == '"300002" = [ 000002, 000003 ]\n'
    assert (root / "codetables" / "1003.table").read_text() == "0 0 Antarctica\n"
