"""Real BUFR files: message counts and header fields against the corpus inventory and ecCodes."""

import pytest

from conftest import CORPUS, corpus_rows, require_module
from norvane import _norvane

INVENTORY = corpus_rows("inventory.tsv")
ED4 = [r for r in INVENTORY if int(r["ed4_messages"])]


def messages(data):
    """Each marker's octets by its declared length, with the error an edition other than 4 must raise."""
    pos = 0
    while (start := data.find(b"BUFR", pos)) >= 0 and start + 8 <= len(data):
        length = int.from_bytes(data[start + 4:start + 7], "big")
        edition = data[start + 7]
        yield start, data[start:start + length], (
            None if edition == 4 else f"unsupported BUFR edition {edition}; only edition 4 is implemented")
        pos = start + max(length, 1)


def parse(octets):
    try:
        return _norvane.parse_bytes(octets)
    except ValueError as exc:
        return str(exc)


@pytest.mark.parametrize("row", INVENTORY, ids=[r["path"] for r in INVENTORY])
def test_file_against_inventory(row):
    # Per-message headers are compared with ecCodes below; here counts, editions and whole files.
    path = CORPUS / row["path"]
    found = [(parse(octets), error) for _, octets, error in messages(path.read_bytes())]
    assert [got if isinstance(got, str) else None for got, _ in found] == [error for _, error in found]
    ed4 = [got for got, error in found if error is None]
    assert (len(found), len(ed4), sum(m.number_of_subsets for m in ed4)) == (
        int(row["messages"]), int(row["ed4_messages"]), int(row["ed4_subsets"]))
    first_error = next((error for _, error in found if error is not None), None)
    if first_error is not None:
        with pytest.raises(ValueError, match=f"^{first_error}$"):
            _norvane.parse_all_file(str(path))
    else:
        assert [repr(m) for m in _norvane.parse_all_file(str(path))] == [repr(m) for m in ed4]


ECCODES_KEYS = {
    "edition": "edition", "master_table_number": "masterTableNumber", "originating_centre": "bufrHeaderCentre",
    "originating_subcentre": "bufrHeaderSubCentre", "update_sequence_number": "updateSequenceNumber",
    "local_section_present": "section2Present", "data_category": "dataCategory",
    "international_data_subcategory": "internationalDataSubCategory", "local_data_subcategory": "dataSubCategory",
    "master_tables_version_number": "masterTablesVersionNumber",
    "local_tables_version_number": "localTablesVersionNumber",
    "typical_year": "typicalYear", "typical_month": "typicalMonth", "typical_day": "typicalDay",
    "typical_hour": "typicalHour", "typical_minute": "typicalMinute", "typical_second": "typicalSecond",
    "section1_length": "section1Length", "section3_length": "section3Length", "section4_length": "section4Length",
    "number_of_subsets": "numberOfSubsets", "observed_data": "observedData", "compressed_data": "compressedData",
    "total_length": "totalLength",
}


@pytest.mark.parametrize("row", ED4, ids=[r["path"] for r in ED4])
def test_header_fields_agree_with_eccodes(row):
    eccodes = require_module("eccodes")
    for start, octets, error in messages((CORPUS / row["path"]).read_bytes()):
        if error is not None:
            continue
        m = _norvane.parse_bytes(octets)
        handle = eccodes.codes_new_from_message(octets)
        try:
            expected = {ours: int(eccodes.codes_get(handle, theirs)) for ours, theirs in ECCODES_KEYS.items()}
            section2 = int(eccodes.codes_get(handle, "section2Length")) if m.local_section_present else 0
            descriptors = [int(c) for c in eccodes.codes_get_array(handle, "unexpandedDescriptors")]
            expected |= {"section2_length": section2, "unexpanded_descriptors": descriptors}
        finally:
            eccodes.codes_release(handle)
        assert {name: getattr(m, name) for name in expected} == expected, f"message at offset {start}"
