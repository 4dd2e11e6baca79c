"""The loaders and expansion on real tables: the ecCodes definitions installed on the system
and the WMO BUFR4 CSV files of the shared corpus. Skipped when either is absent."""

import os
from pathlib import Path

import pytest

from bufr_writer import build_message
from conftest import CORPUS, require
from norvane import TableSet, parse_bytes

DEFINITIONS = Path("/usr/share/eccodes/definitions")
WMO = DEFINITIONS / "bufr/tables/0/wmo"
WMO_CSV = CORPUS / "wmo-csv"
VERSIONS = sorted(os.listdir(WMO), key=int) if WMO.is_dir() else []
# The CSV files are a later WMO release than any ecCodes version installed; 39 is the
# newest, and it agrees with them on every element and sequence it defines.
CSV_PEER_VERSION = "39"


def wmo_tables(version):
    return TableSet.from_eccodes(str(require(WMO / version)))


@pytest.mark.parametrize("version", VERSIONS)
def test_every_version_loads(version):
    tables = wmo_tables(version)
    assert tables.element_count > 400 and tables.sequence_count > 100
    e = tables.get_element(1001)
    assert (e.name, e.unit, e.width, e.element_type) == ("WMO BLOCK NUMBER", "Numeric", 7, "long")
    assert tables.get_sequence(301001).members == [1001, 1002]
    if (WMO / version / "codetables").is_dir():
        assert tables.get_meaning(1003, 1) == "REGION I"
    if (WMO / version).is_symlink():
        target = wmo_tables(os.readlink(WMO / version))
        assert repr(tables) == repr(target)


def test_definitions_root_follows_the_message():
    require(WMO / "13")
    local = require(DEFINITIONS / "bufr/tables/0/local/101/98/0")

    def load(**fields):
        message = parse_bytes(build_message([1001], [(1, 7)], centre=98, **fields))
        return TableSet.from_definitions(str(DEFINITIONS), message)

    assert repr(load(master_version=8)) == repr(wmo_tables("13"))  # 8 is a symlink to 13
    assert repr(load(master_version=39, local_version=1, subcentre=70)) == repr(wmo_tables("39"))  # no such local dir
    with_local = load(master_version=13, local_version=101, subcentre=0)
    assert with_local.element_count >= wmo_tables("13").element_count
    local_codes = [int(line.split("|")[0]) for line in (local / "element.table").read_text().splitlines()[1:] if line]
    assert local_codes and all(with_local.get_element(code) for code in local_codes)


@pytest.fixture(scope="module")
def csv_tables():
    return TableSet.from_bufr4_45(str(require(WMO_CSV)))


def test_wmo_csv_agrees_with_eccodes(csv_tables):
    eccodes = wmo_tables(CSV_PEER_VERSION)
    assert csv_tables.element_count > eccodes.element_count - 10
    codes = [int(line.split("|")[0]) for line in (WMO / CSV_PEER_VERSION / "element.table").read_text().splitlines()[1:]]
    differing = {}
    for code in codes:
        ours, theirs = csv_tables.get_element(code), eccodes.get_element(code)
        assert ours is not None, code
        if (ours.width, ours.scale, ours.reference) != (theirs.width, theirs.scale, theirs.reference):
            differing[code] = (ours.width, ours.scale, ours.reference)
    assert differing == {}
    sequences = [int(line.split('"')[1]) for line in (WMO / CSV_PEER_VERSION / "sequence.def").read_text().splitlines() if "=" in line]
    assert len(sequences) == eccodes.sequence_count
    assert [c for c in sequences if csv_tables.get_sequence(c).members != eccodes.get_sequence(c).members] == []


# Hand-checked against the table text: 301004 is block, station, name and station type.
def test_expand_real_sequence_by_hand():
    assert wmo_tables("39").expand([301004, 301011]) == [1001, 1002, 1015, 2001, 4001, 4002, 4003]


@pytest.mark.parametrize("sequence", [307080, 309052, 301090, 302035, 306004, 340008, 310077])
def test_expand_agrees_with_eccodes(sequence):
    eccodes = pytest.importorskip("eccodes")
    tables = wmo_tables("39")
    handle = eccodes.codes_bufr_new_from_samples("BUFR4")
    try:
        eccodes.codes_set(handle, "masterTablesVersionNumber", 39)
        eccodes.codes_set_array(handle, "unexpandedDescriptors", [sequence])
        expected = [int(c) for c in eccodes.codes_get_array(handle, "expandedDescriptors")]
    finally:
        eccodes.codes_release(handle)
    # ecCodes keeps the (delayed) replication descriptors in its list; expansion drops them.
    assert tables.expand([sequence]) == [c for c in expected if c // 100000 != 1]
