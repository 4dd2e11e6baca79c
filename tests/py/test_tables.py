"""The TableSet model: construction, lookups, the two definition records and their reprs,
argument conversion, and how field parser failures reach Python through a load."""

import sys

import pytest

import norvane
from bufr_writer import write_table_dir
from norvane import ElementDefinition, SequenceDefinition, TableSet

OUT_OF_RANGE = "^out of range integral type conversion attempted$"


@pytest.fixture
def tables(tmp_path):
    root = write_table_dir(
        tmp_path / "t",
        elements=[(1001, "BLOCK", "Numeric", 0, 0, 7, "blockNumber", "long"), (12101, 'a "b"\\\tc', "K", 2, -1000, 16)],
        sequences={301001: [1001, 1002], 300000: []},
        code_tables={1003: {0: "ANTARCTICA", 2**64 - 1: "ALL ONES"}},
    )
    return TableSet.from_eccodes(str(root))


def test_empty():
    t = TableSet()
    assert repr(t) == "TableSet(elements=0, sequences=0)" and (t.element_count, t.sequence_count) == (0, 0)
    assert (t.get_element(1001), t.get_sequence(301001), t.get_meaning(1003, 0)) == (None, None, None)


def test_lookups_and_reprs(tables):
    assert repr(tables) == "TableSet(elements=2, sequences=2)"
    e = tables.get_element(12101)
    assert (e.code, e.name, e.unit, e.scale, e.reference, e.width) == (12101, 'a "b"\\\tc', "K", 2, -1000, 16)
    assert (tables.get_element(1001).abbreviation, tables.get_element(1001).element_type) == ("blockNumber", "long")
    assert repr(e) == 'ElementDefinition(012101, name="a \\"b\\"\\\\\\tc")'
    assert repr(tables.get_sequence(301001)) == "SequenceDefinition(301001, members=[1001, 1002])"
    assert repr(tables.get_sequence(300000)) == "SequenceDefinition(300000, members=[])"
    assert [tables.get_meaning(1003, raw) for raw in (0, 2**64 - 1, 1)] == ["ANTARCTICA", "ALL ONES", None]
    assert tables.get_meaning(raw=0, code=1004) is None and tables.get_element(code=1001).width == 7


def test_records_are_independent_and_compare_by_identity(tables):
    a, b = tables.get_element(1001), tables.get_element(1001)
    assert a is not b and a != b and a == a and a.name == b.name and {a: 1}[a] == 1
    s = tables.get_sequence(301001)
    s.members.append(5)
    assert s.members == tables.get_sequence(301001).members == [1001, 1002]
    assert TableSet() != TableSet()


@pytest.mark.parametrize(
    ("obj", "names"),
    [
        (lambda t: t.get_element(1001), ["code", "name", "unit", "scale", "reference", "width", "abbreviation", "element_type"]),
        (lambda t: t.get_sequence(301001), ["code", "members"]),
        (lambda t: t, ["element_count", "sequence_count", "extra"]),
    ],
)
def test_attributes_are_read_only(tables, obj, names):
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj(tables), name, 1)


@pytest.mark.parametrize("cls", [ElementDefinition, SequenceDefinition, TableSet])
def test_classes(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
    if cls is not TableSet:
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(
    ("function", "signature"),
    [
        (TableSet, "()"), (TableSet.from_eccodes, "(path)"), (TableSet.from_definitions, "(path, message)"),
        (TableSet.from_bufr4_45, "(path)"), (TableSet.get_element, "($self, code)"),
        (TableSet.get_sequence, "($self, code)"), (TableSet.get_meaning, "($self, code, raw)"),
        (TableSet.expand, "($self, descriptors)"), (norvane.expand_descriptors, "(table_dir, descriptors)"),
    ],
)
def test_text_signatures(function, signature):
    assert function.__text_signature__ == signature and not function.__doc__


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda t: t.get_element(-1), OverflowError, OUT_OF_RANGE),
        (lambda t: t.get_sequence(2**32), OverflowError, OUT_OF_RANGE),
        (lambda t: t.get_meaning(2**63 - 1, 0), OverflowError, OUT_OF_RANGE),
        (lambda t: t.get_meaning(1003, -1), OverflowError, None),
        (lambda t: t.get_meaning(1003, 2**64), OverflowError, None),
        (lambda t: t.get_element("1001"), TypeError, "^argument 'code': "),
        (lambda t: t.get_meaning(1003, 0.0), TypeError, "^argument 'raw': "),
        (lambda t: t.expand("301001"), TypeError, "^argument 'descriptors': Can't extract `str` to `Vec`$"),
        (lambda t: t.expand([1, None]), TypeError, "^argument 'descriptors': "),
        (lambda t: TableSet.from_eccodes(b"d"), TypeError, "^argument 'path': 'bytes' object cannot be cast as 'str'$"),
        (lambda t: TableSet.from_definitions("d", 1), TypeError, "^argument 'message': 'int' object cannot be cast as 'BufrMessage'$"),
        (lambda t: t.get_meaning(1), TypeError, r"^get_meaning\(\) missing 1 required positional argument: 'raw'$"),
        (lambda t: TableSet(1), TypeError, r"^TableSet\(\) takes 0 positional arguments but 1 was given$"),
    ],
)
def test_argument_errors(tables, call, error, text):
    with pytest.raises(error, match=text):
        call(tables)


def test_failed_calls_keep_reference_counts(tables):
    descriptors, path = [401001], "x" * 40
    before = sys.getrefcount(descriptors), sys.getrefcount(path)
    for _ in range(50):
        pytest.raises(ValueError, tables.expand, descriptors)
        pytest.raises(ValueError, TableSet.from_eccodes, path)
    assert (sys.getrefcount(descriptors), sys.getrefcount(path)) == before


@pytest.mark.parametrize(
    ("row", "message"),
    [
        ("0010x1|a|long|n|u|0|0|8", 'bad descriptor code "0010x1": invalid digit found in string'),
        ('""""""|a|long|n|u|0|0|8', 'bad descriptor code "\\"\\"": cannot parse integer from empty string'),
        ("1|a|long|n|u| 0|z|w", 'bad i32 " 0": invalid digit found in string'),
        ("1|a|long|n|u|0|z|w", 'bad i64 "z": invalid digit found in string'),
        ("1|a|long|n|u|0|0|65536", 'bad u16 "65536": number too large to fit in target type'),
    ],
)
def test_field_parser_messages_through_a_load(tmp_path, row, message):
    root = write_table_dir(tmp_path / "t")
    (root / "element.table").write_text(f"#h\n{row}\n")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(root))
    assert info.value.args == ("csv/table parse error: " + message,)
