"""Real BUFR files: message counts and header fields against the corpus inventory and ecCodes."""

import csv
from collections import Counter

import pytest

from conftest import CORPUS
from norvane import _norvane

EDITION_3 = "unsupported BUFR edition 3; only edition 4 is implemented"


def _inventory():
    path = CORPUS / "inventory.tsv"
    if not path.exists():
        return []
    with path.open(newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


INVENTORY = _inventory()
pytestmark = pytest.mark.skipif(not INVENTORY, reason=f"no corpus at {CORPUS}")


def spans(data):
    """(offset, length) of each marker and its declared length, as a reader of the format finds them."""
    out, pos = [], 0
    while (start := data.find(b"BUFR", pos)) >= 0 and start + 8 <= len(data):
        length = int.from_bytes(data[start + 4:start + 7], "big")
        out.append((start, length))
        pos = start + max(length, 1)
    return out


def expected_error(octets):
    """The error a message must raise, from its edition, or None."""
    if octets[7] != 4:
        return f"unsupported BUFR edition {octets[7]}; only edition 4 is implemented"
    return None


def parse_each(data):
    """One (message or ValueError text, expected error) pair per message of the file."""
    results = []
    for start, length in spans(data):
        octets = data[start:start + length]
        try:
            got = _norvane.parse_bytes(octets)
        except ValueError as exc:
            got = str(exc)
        results.append((got, expected_error(octets)))
    return results


def _tables(column):
    return {tuple(int(v) for v in group.strip("()").split(",")) for group in column.split(";")}


@pytest.mark.parametrize("row", INVENTORY, ids=[r["path"] for r in INVENTORY])
def test_file_against_inventory(row):
    path = CORPUS / row["path"]
    results = parse_each(path.read_bytes())
    assert len(results) == int(row["messages"])
    assert [got if isinstance(got, str) else None for got, _ in results] == [error for _, error in results]

    editions = Counter()
    for part in row["editions"].split(","):
        edition, count = part.split(":")
        editions[int(edition)] = int(count)
    assert sum(error == EDITION_3 for _, error in results) == editions[3]
    messages = [got for got, _ in results if not isinstance(got, str)]
    assert all(m.edition == 4 for m in messages)
    if len(messages) == int(row["ed4_messages"]):
        assert sum(m.compressed_data for m in messages) == int(row["ed4_compressed"])
        assert sum(m.number_of_subsets for m in messages) == int(row["ed4_subsets"])
        wanted = {t for t in _tables(row["tables(master,mver,lver,centre,sub,ed)"]) if t[5] == 4}
        got = {(m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
                m.originating_centre, m.originating_subcentre, 4) for m in messages}
        assert got == wanted

    first_error = next((error for _, error in results if error is not None), None)
    if first_error is not None:
        with pytest.raises(ValueError) as info:
            _norvane.parse_all_file(str(path))
        assert str(info.value) == first_error
    else:
        whole = _norvane.parse_all_file(str(path))
        assert [repr(m) for m in whole] == [repr(m) for m in messages]
        assert sum(m.compressed_data for m in whole) == int(row["compressed"])
        assert sum(m.number_of_subsets for m in whole) == int(row["subsets"])
        assert {str(m.data_category) for m in whole} == set(row["categories"].split(","))
        assert any(m.local_section_present for m in whole) == (row["section2"] == "1")


ECCODES_KEYS = {
    "edition": "edition",
    "master_table_number": "masterTableNumber",
    "originating_centre": "bufrHeaderCentre",
    "originating_subcentre": "bufrHeaderSubCentre",
    "update_sequence_number": "updateSequenceNumber",
    "local_section_present": "section2Present",
    "data_category": "dataCategory",
    "international_data_subcategory": "internationalDataSubCategory",
    "local_data_subcategory": "dataSubCategory",
    "master_tables_version_number": "masterTablesVersionNumber",
    "local_tables_version_number": "localTablesVersionNumber",
    "typical_year": "typicalYear",
    "typical_month": "typicalMonth",
    "typical_day": "typicalDay",
    "typical_hour": "typicalHour",
    "typical_minute": "typicalMinute",
    "typical_second": "typicalSecond",
    "section1_length": "section1Length",
    "section3_length": "section3Length",
    "section4_length": "section4Length",
    "number_of_subsets": "numberOfSubsets",
    "observed_data": "observedData",
    "compressed_data": "compressedData",
    "total_length": "totalLength",
}
ED4 = [r for r in INVENTORY if int(r["ed4_messages"])]


@pytest.mark.parametrize("row", ED4, ids=[r["path"] for r in ED4])
def test_header_fields_agree_with_eccodes(row):
    eccodes = pytest.importorskip("eccodes")
    data = (CORPUS / row["path"]).read_bytes()
    for start, length in spans(data):
        octets = data[start:start + length]
        if expected_error(octets) is not None:
            continue
        m = _norvane.parse_bytes(octets)
        handle = eccodes.codes_new_from_message(octets)
        try:
            expected = {ours: int(eccodes.codes_get(handle, theirs)) for ours, theirs in ECCODES_KEYS.items()}
            expected["section2_length"] = (
                int(eccodes.codes_get(handle, "section2Length")) if expected["local_section_present"] else 0)
            expected["unexpanded_descriptors"] = [
                int(c) for c in eccodes.codes_get_array(handle, "unexpandedDescriptors")]
        finally:
            eccodes.codes_release(handle)
        got = {name: getattr(m, name) for name in expected}
        assert got == expected, f"message at offset {start}"
        assert m.section4_data_offset == 8 + m.section1_length + m.section2_length + m.section3_length + 4
