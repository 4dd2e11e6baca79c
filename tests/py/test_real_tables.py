"""The loaders and expansion on real tables: the ecCodes definitions installed on the system
and the WMO BUFR4 CSV files of the shared corpus (see conftest for when they are required)."""

import os

import pytest

from bufr_writer import build_message
from conftest import CORPUS, DEFINITIONS, require, require_module
from norvane import TableSet, parse_bytes

WMO = require(DEFINITIONS / "bufr/tables/0/wmo")
VERSIONS = sorted(os.listdir(WMO), key=int)
# The CSV files are a later WMO release than any ecCodes version installed; 39 is the
# newest, and it agrees with them on every element and sequence it defines.
CSV_PEER_VERSION = "39"


def wmo_tables(version):
    return TableSet.from_eccodes(str(require(WMO / version)))


def element_codes(path):
    return [int(line.split("|")[0]) for line in path.read_text().splitlines()[1:] if line]


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
        assert repr(tables) == repr(wmo_tables(os.readlink(WMO / version)))


def test_definitions_root_follows_the_message():
    local = require(DEFINITIONS / "bufr/tables/0/local/101/98/0")

    def load(**fields):
        return TableSet.from_definitions(str(DEFINITIONS), parse_bytes(build_message([1001], centre=98, **fields)))

    assert repr(load(master_version=8)) == repr(wmo_tables("13"))  # 8 is a symlink to 13
    assert repr(load(master_version=39, local_version=1, subcentre=70)) == repr(wmo_tables("39"))  # no such local dir
    with_local = load(master_version=13, local_version=101)
    assert with_local.element_count >= wmo_tables("13").element_count
    assert all(with_local.get_element(code) for code in element_codes(local / "element.table"))


def test_wmo_csv_agrees_with_eccodes():
    csv_tables, eccodes = TableSet.from_bufr4_45(str(require(CORPUS / "wmo-csv"))), wmo_tables(CSV_PEER_VERSION)
    assert csv_tables.element_count > eccodes.element_count - 10
    differing = {}
    for code in element_codes(WMO / CSV_PEER_VERSION / "element.table"):
        ours, theirs = csv_tables.get_element(code), eccodes.get_element(code)
        if ours is None or (ours.width, ours.scale, ours.reference) != (theirs.width, theirs.scale, theirs.reference):
            differing[code] = ours and (ours.width, ours.scale, ours.reference)
    assert differing == {}
    sequences = [int(line.split('"')[1]) for line in (WMO / CSV_PEER_VERSION / "sequence.def").read_text().splitlines()
                 if "=" in line]
    assert len(sequences) == eccodes.sequence_count
    assert [c for c in sequences if csv_tables.get_sequence(c).members != eccodes.get_sequence(c).members] == []


@pytest.mark.parametrize("sequence", [301004, 307080, 309052, 301090, 302035, 340008, 310077])
def test_expand_agrees_with_eccodes(sequence):
    eccodes = require_module("eccodes")
    handle = eccodes.codes_bufr_new_from_samples("BUFR4")
    try:
        eccodes.codes_set(handle, "masterTablesVersionNumber", 39)
        eccodes.codes_set_array(handle, "unexpandedDescriptors", [sequence])
        expected = [int(c) for c in eccodes.codes_get_array(handle, "expandedDescriptors")]
    finally:
        eccodes.codes_release(handle)
    # ecCodes keeps the (delayed) replication descriptors in its list; expansion drops them.
    assert wmo_tables("39").expand([sequence]) == [c for c in expected if c // 100000 != 1]
