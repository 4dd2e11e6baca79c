"""The TableSet model (lookups, records, reprs) and descriptor expansion."""

import re

import pytest

from bufr_writer import write_table_dir
from norvane import TableSet, expand_descriptors

DEPTH = "csv/table parse error: sequence expansion exceeded recursion depth"
TOO_MANY = "csv/table parse error: sequence expansion exceeded 1000000 descriptors"
MISSING_FACTOR = "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"


def nested(times, leaf):
    """Fixed replications nested len(times) deep around ``leaf``, outermost first."""
    body = [leaf]
    for y in reversed(times):
        body = [100000 + len(body) * 1000 + y] + body
    return body


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory):
    sequences = {301001: [1001, 1002], 300000: [], 301100: [204004, 1001], 301200: [301001, 1003],
                 302000: [399999], 303000: [101000, 31001], 330000: [1001, 330000]}
    # 310001 -> ... -> 310064 -> [1001] nests 64 levels; 320001 -> ... -> 320065 nests 65.
    for base, length in ((310000, 64), (320000, 65)):
        sequences.update({base + k: [base + k + 1] for k in range(1, length)})
        sequences[base + length] = [1001]
    elements = [(1001, "BLOCK", "Numeric", 0, 0, 7, "blockNumber", "long"), (12101, 'a "b"\\\tc', "K", 2, -1000, 16)]
    return str(write_table_dir(tmp_path_factory.mktemp("tables") / "t", elements, sequences,
                               {1003: {0: "ANTARCTICA", 2**64 - 1: "ALL ONES"}}))


@pytest.fixture(scope="module")
def tables(table_dir):
    return TableSet.from_eccodes(table_dir)


def test_lookups_records_and_reprs(tables):
    assert repr(TableSet()) == "TableSet(elements=0, sequences=0)" and TableSet().get_element(1001) is None
    assert (repr(tables), tables.element_count, tables.sequence_count) == (
        "TableSet(elements=2, sequences=136)", 2, 136)
    e = tables.get_element(12101)
    assert (e.code, e.name, e.unit, e.scale, e.reference, e.width) == (12101, 'a "b"\\\tc', "K", 2, -1000, 16)
    assert repr(e) == 'ElementDefinition(012101, name="a \\"b\\"\\\\\\tc")'
    e = tables.get_element(code=1001)
    assert (e.abbreviation, e.element_type) == ("blockNumber", "long")
    assert [repr(tables.get_sequence(code)) for code in (301001, 300000)] == [
        "SequenceDefinition(301001, members=[1001, 1002])", "SequenceDefinition(300000, members=[])"]
    assert [tables.get_meaning(1003, raw) for raw in (0, 2**64 - 1, 1)] + [tables.get_meaning(raw=0, code=1004)] == [
        "ANTARCTICA", "ALL ONES", None, None]
    # Every lookup is a fresh copy: distinct objects, no shared lists.
    a, b, s = tables.get_element(1001), tables.get_element(1001), tables.get_sequence(301001)
    s.members.append(5)
    assert a is not b and a != b and a.name == b.name and s.members == [1001, 1002]
    for raw in (-1, 2**64):
        pytest.raises(OverflowError, tables.get_meaning, 1003, raw)


@pytest.mark.parametrize(("descriptors", "expected"), [
    ([301001], [1001, 1002]),
    ([103000, 31001, 1001, 1002, 1003], [31001, 1001, 1002, 1003]),
    ([], []),
    ([300000, 1001, 300000], [1001]),
    ([12345, 63255], [12345, 63255]),  # elements are not looked up
    ([204004, 1001, 31021, 204000, 1002], [999999, 1001, 31021, 1002]),
    ([301100, 1002], [999999, 1001, 999999, 1002]),  # 2-04 outlives its sequence
    ([204001, 102000, 31001, 1001, 1002], [31001, 999999, 1001, 999999, 1002]),
    ([101002, 301200, 1004], [1001, 1002, 1003, 1001, 1002, 1003, 1004]),
    (nested([2, 3], 1001), [1001] * 6),
    ([101257, 1001], [1001]),  # Y is taken modulo 256 ...
    ([101256, 31001, 1001], [31001, 1001]),  # ... so Y = 256 is a delayed replication
    ([201001, 202001, 206001, 207001, 208001, 1001], [1001]),
    ([203255, 205001, 221001, 222000, 223255, 232000, 235000, 236000, 237255, 241001],
     [203255, 205001, 221001, 222000, 223255, 232000, 235000, 236000, 237255, 241001]),
    ([310001], [1001]),
    (nested([1] * 64, 1001), [1001]),
    (nested([1] * 63, 310064), [1001]),  # replication and sequence levels count alike
    (nested([250, 250, 14], 1001), [1001] * 875_000),
])
def test_expansion(tables, table_dir, descriptors, expected):
    assert tables.expand(descriptors) == expected
    if len(expected) < 100:
        assert expand_descriptors(table_dir, tuple(descriptors)) == expected


@pytest.mark.parametrize(("descriptors", "message"), [
    ([101000, 1001], MISSING_FACTOR),
    ([303000], MISSING_FACTOR),
    ([102000], "unsupported replication descriptor 102000"),
    ([102001, 1001], "unsupported replication descriptor 102001"),
    ([100003, 1001], "unsupported replication descriptor 100003"),
    ([301001, 302000], "descriptor 399999 was not found in Table D"),
    ([1001, 401001], "csv/table parse error: invalid descriptor 401001"),
    ([320001], DEPTH),
    ([330000], DEPTH),
    (nested([1] * 65, 1001), DEPTH),
    (nested([1] * 64, 300000), DEPTH),  # the depth is checked before an empty list
    # Nested fixed replications grow exponentially; the bound stops them early, also when their bodies write nothing.
    (nested([255, 255, 255], 1001), TOO_MANY),
    (nested([255] * 63, 300000), TOO_MANY),
])
def test_expansion_error(tables, descriptors, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        tables.expand(descriptors)


def test_expand_descriptors_loads_the_directory_first(tmp_path, table_dir):
    assert expand_descriptors(descriptors=[301001], table_dir=table_dir) == [1001, 1002]
    with pytest.raises(ValueError, match=r"^csv/table parse error: No such file or directory \(os error 2\)$"):
        expand_descriptors(str(tmp_path / "none"), [])
