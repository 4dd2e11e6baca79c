"""The three table loaders: an ecCodes table directory, an ecCodes definitions root chosen by
a message, and the WMO BUFR4 CSV files. Every table is written into tmp_path here."""

import os

import pytest

from bufr_writer import build_message, write_table_dir
from norvane import TableSet, parse_bytes

ENOENT = "No such file or directory (os error 2)"
PARSE = "csv/table parse error: "
EMPTY = "TableSet(elements=0, sequences=0)"
DIGIT = ": invalid digit found in string"
B_HEAD, D_HEAD = "No,Class,FXY,Name,Unit,Scale,Reference,Width,CREX", "Cat,Title,FXY1,Title,Sub,FXY2,Name"


def layout(root, files):
    """Applies {relative path: text or bytes to write, "/" for a directory, "-> target" for a link, None to remove}."""
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.is_file() or path.is_symlink():
            path.unlink()
        if content == "/":
            path.mkdir()
        elif isinstance(content, str) and content.startswith("-> "):
            path.symlink_to(content[3:])
        elif content is not None:
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return root


def outcome(load, path, *args):
    """The loaded table set's repr, or the ValueError text."""
    try:
        return repr(load(str(path), *args))
    except ValueError as exc:
        return str(exc)


def eccodes_dir(tmp_path, files):
    return layout(write_table_dir(tmp_path / "t"), files)


ECCODES_CASES = [
    ("no directory", None, PARSE + ENOENT),
    ("7-field records skipped", {"element.table": "001001|a|long|n|u|0|0\n001002|a|long|n|u|0|0\n"}, EMPTY),
    ("codetables link to nowhere is absent", {"codetables": "-> gone"}, EMPTY),
    ("short record after a full one", {"element.table": "001001|a|long|n|u|0|0|8|x|y|z\n001002|a|long|n|u|0|0\n"},
     PARSE + "line 2: found record with 7 fields, but the first record has 11 fields"),
    ("blank before scale", {"element.table": "1|a|long|n|u| 0|z|w\n"}, PARSE + 'bad i32 " 0"' + DIGIT),
    ("bad reference", {"element.table": "1|a|long|n|u|0|z|w\n"}, PARSE + 'bad i64 "z"' + DIGIT),
    ("sequence.def missing", {"sequence.def": None}, "io error: " + ENOENT),
    ("']' in the key ends a statement", {"sequence.def": '"30]001" = 001001\n'}, PARSE + '"30]001" = 001001'),
    ("joined statement without '['", {"sequence.def": '"301001" =\n ] 1 ['}, PARSE + '"301001" = ] 1 ['),
    ("bad member", {"sequence.def": '"301001" = [ 1, 0 01 ]'}, PARSE + 'bad descriptor code "0 01"' + DIGIT),
    ("codetables a file", {"codetables": ""}, "io error: Not a directory (os error 20)"),
    ("bad code table key", {"codetables/1003.table": "0 0 ok\nx y z\n"}, PARSE + 'bad code table key "x"' + DIGIT),
    ("stem 1.2", {"codetables/1.2.table": ""}, PARSE + 'bad descriptor code "1.2"' + DIGIT),
    ("code table not UTF-8", {"codetables/1003.table": b"1 1 \xe9\n"}, "io error: stream did not contain valid UTF-8"),
]


@pytest.mark.parametrize(("files", "expected"), [c[1:] for c in ECCODES_CASES], ids=[c[0] for c in ECCODES_CASES])
def test_eccodes_dir_outcome(tmp_path, files, expected):
    path = tmp_path / "none" if files is None else eccodes_dir(tmp_path, files)
    assert outcome(TableSet.from_eccodes, path) == expected


def test_eccodes_dir_contents(tmp_path):
    root = eccodes_dir(tmp_path, {
        "element.table": b'001001|a|long|first|u|0|0|8|x|y|z\n\n"001001"|ab|t|"x|""y"""|unit |-1|-5|12|x|y|z\r\n',
        "codetables/1003.table": "# c\n3 3 Region   \t III \n4 4\n5\n0 0 a\n0 x b\n07 7 seven\n",
        "codetables/001002.table": "1 1 padded\n2 2 only padded\n",
        "codetables/1002.table": "1 1 plain\n",  # sorts after 001002.table and replaces it whole
        "codetables/README": "x y z\n", os.fsdecode(b"codetables/\xff.table"): "x y z\n",  # stem not UTF-8: skipped
    })
    t = TableSet.from_eccodes(str(root))
    e = t.get_element(1001)
    assert (e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width) == (
        "ab", "t", 'x|"y"', "unit ", -1, -5, 12)
    assert [t.get_meaning(1003, raw) for raw in range(8)] == ["b", None, None, "Region III", None, None, None, "seven"]
    assert (t.get_meaning(1002, 1), t.get_meaning(1002, 2)) == ("plain", None)


@pytest.mark.parametrize(("text", "expected"), [
    ('"300002" = [  000002, 000003 ]\n"300002" = [ 4 ]', {300002: [4]}),
    ('"301001" = [ 001001,\n\n# comment\n  001002,\r\n 001003 ]\n', {301001: [1001, 1002, 1003]}),
    ('"301001" = [ , 001001 ,, 001002, ]  "301002" = [1002]', {301001: [1001, 1002]}),
    ('"301001" = []\n301002 [1]\n"301003" = [ 1,', {301001: []}),  # no '=', never closed
    ('"301001" = [ 1\n# ]\n, 2 ]', {301001: [1, 2]}),
])
def test_sequence_statements(tmp_path, text, expected):
    tables = TableSet.from_eccodes(str(eccodes_dir(tmp_path, {"sequence.def": text})))
    assert {code: tables.get_sequence(code).members for code in expected} == expected
    assert tables.sequence_count == len(expected)


def definitions(tmp_path, versions, files):
    """A definitions root with a WMO directory per version (element 1001 named after it), then ``files``."""
    tables = tmp_path / "defs/bufr/tables/0"
    for version in versions:
        write_table_dir(tables / "wmo" / str(version), [(1001, f"wmo {version}", "u", 0, 0, 7)], {301001: [1001]},
                        {1003: {0: "A", 1: "B"}})
    (tables / "wmo").mkdir(parents=True, exist_ok=True)
    layout(tables, files)
    return tmp_path / "defs"


def loaded_name(root, **fields):
    try:
        return TableSet.from_definitions(str(root), parse_bytes(build_message([1001], **fields))).get_element(1001).name
    except ValueError as exc:
        return str(exc)


def local_dir(name, element_table="1001|a|b|local|u|0|0|7\n", sequence_def=""):
    return {f"local/{name}/98/0/element.table": element_table, f"local/{name}/98/0/sequence.def": sequence_def}


LOCAL = local_dir("1", "", '"301001" = ] [')
CHAIN = PARSE + "ecCodes table alias chain longer than 32 links at {wmo}/"
DEFINITION_CASES = [
    ("plain", (34, 35), {}, {}, "wmo 35"),
    ("alias", (33, 34), {"wmo/35": " \t34\r\n"}, {}, "wmo 34"),
    ("alias chain", (33,), {"wmo/35": "34", "wmo/34": "33"}, {}, "wmo 33"),
    ("alias to a link", (33,), {"wmo/35": "36", "wmo/36": "-> 33"}, {}, "wmo 33"),
    ("32 aliases", (100,), {f"wmo/{v}": str(v - 1) for v in range(101, 134)}, {"master_version": 132}, "wmo 100"),
    ("33 aliases", (100,), {f"wmo/{v}": str(v - 1) for v in range(101, 134)}, {"master_version": 133}, CHAIN + "101"),
    ("alias loop", (), {"wmo/35": "34", "wmo/34": "35"}, {}, CHAIN + "35"),
    ("no directory", (), {}, {}, PARSE + "ecCodes table directory does not exist: {wmo}/35"),
    ("alias to nothing", (), {"wmo/35": "34"}, {}, PARSE + "ecCodes table directory does not exist: {wmo}/34"),
    ("alias upwards", (), {"wmo/35": "../34"}, {}, PARSE + 'invalid ecCodes table alias {wmo}/35 -> "../34"'),
    ("blank alias", (), {"wmo/35": " \n"}, {}, PARSE + 'invalid ecCodes table alias {wmo}/35 -> ""'),
    ("backslash", (), {"wmo/35": "a\\b"}, {}, PARSE + 'invalid ecCodes table alias {wmo}/35 -> "a\\\\b"'),
    ("local 19-1", (19,), local_dir("19-1"), {"master_version": 19, "local_version": 1}, "local"),
    ("local 1 for 20", (20,), local_dir("1"), {"master_version": 20, "local_version": 1}, "local"),
    ("no local tables asked for", (35,), LOCAL, {"local_version": 0}, "wmo 35"),
    ("no such subcentre", (35,), LOCAL, {"local_version": 1, "subcentre": 5}, "wmo 35"),
    ("local tables read", (35,), LOCAL, {"local_version": 1}, PARSE + '"301001" = ] ['),
]


@pytest.mark.parametrize(("versions", "files", "fields", "expected"), [c[1:] for c in DEFINITION_CASES],
                         ids=[c[0] for c in DEFINITION_CASES])
def test_definitions_root_outcome(tmp_path, versions, files, fields, expected):
    root = definitions(tmp_path, versions, files)
    assert loaded_name(root, **fields) == expected.format(wmo=root / "bufr/tables/0/wmo")


def test_local_tables_merge_over_wmo(tmp_path):
    root = definitions(tmp_path, (35,), {"local/1/98/0/codetables/2001.table": "0 0 local\n"})  # no Table B or D
    write_table_dir(root / "bufr/tables/0/local/7/254/3", [(1001, "local", "u", 1, 0, 9), (48001, "new", "u", 0, 0, 4)],
                    {301002: [48001]}, {1003: {5: "C"}})
    message = parse_bytes(build_message([1001], local_version=7, centre=254, subcentre=3))
    t = TableSet.from_definitions(str(root), message)
    assert (t.get_element(1001).width, t.get_element(48001).name, t.element_count, t.sequence_count) == (9, "new", 2, 2)
    assert [t.get_meaning(1003, raw) for raw in (0, 5)] == [None, "C"]  # a local table replaces the whole table
    t = TableSet.from_definitions(str(root), parse_bytes(build_message([1001], local_version=1, centre=98)))
    assert (t.element_count, t.sequence_count, t.get_meaning(2001, 0), t.get_meaning(1003, 1)) == (1, 1, "local", "B")


def csv_dir(tmp_path, **files):
    """WMO CSV files: B01=rows is BUFRCREX_TableB_en_01.csv, D01=rows is BUFR_TableD_en_01.csv."""
    names = {k: "\n".join(v) if isinstance(v, list) else v for k, v in files.items()}
    (tmp_path / "csv").mkdir()
    return layout(tmp_path / "csv", {k.replace("B", "BUFRCREX_TableB_en_").replace("D", "BUFR_TableD_en_") + ".csv": v
                                     for k, v in names.items()})


def test_csv_element_type_from_unit(tmp_path):
    types = {"CCITT IA5": "string", "Code table": "code", "Flag table": "flags", "code table": "long",
             "Code table ": "long", "K": "long"}
    rows = [f"0,c,{code},n,{unit},0,0,8,x" for code, unit in enumerate(types)]
    t = TableSet.from_bufr4_45(str(csv_dir(tmp_path, B00=[B_HEAD, *rows])))
    elements = [t.get_element(code) for code in range(len(types))]
    assert [(e.unit, e.element_type, e.abbreviation) for e in elements] == [(u, kind, "") for u, kind in types.items()]


def test_csv_fields_files_and_order(tmp_path):
    root = csv_dir(tmp_path, B01=[B_HEAD, '0,c,012101,"T, ""air""",K,"-1",-1024,16,x', "0,c,001002,keep,u,0,0,8,x"],
                   B00=[B_HEAD, "0,c,012101,first,u,0,0,8,x"], B1a=[B_HEAD, "0,c,001002,last,u,0,0,8,x"],
                   D01=[D_HEAD, "0,t,301001,,,001001,n", "0,t,301002,,,1,n", '0,t, 301001,,,"001002",n',
                        "0,t,301003,,,1,n"],
                   D02=[D_HEAD, "0,t,301003,,,001009,n"])
    for name in ("README", "BUFRCREX_TableB_en_01.CSV", "bufr_TableD_en_01.csv"):
        (root / name).write_text("x")  # not read
    t = TableSet.from_bufr4_45(str(root))
    e = t.get_element(12101)
    assert (e.name, e.unit, e.scale, e.reference, e.width) == ('T, "air"', "K", -1, -1024, 16)
    assert t.get_element(1002).name == "last"
    assert [t.get_sequence(c).members for c in (301001, 301002, 301003)] == [[1001, 1002], [1], [1009]]
    assert (t.element_count, t.sequence_count) == (2, 3)


@pytest.mark.parametrize(("files", "expected"), [
    ({"B00": ["a,b,c,d,e,f,g", "1,2,001001,n,u,0,0"], "D00": ["a,b,c,d,e", "1,2,301001,x,y"]}, EMPTY),  # short headers
    ({"B00": [B_HEAD, "0,c,001001,n,u, -1,0,8,x"]}, PARSE + 'bad i32 " -1": invalid digit found in string'),
    ({"B00": [B_HEAD, "1,2,3"]}, PARSE + "line 2: found record with 3 fields, but the first record has 9 fields"),
    ({"B00": B_HEAD.encode() + b"\n0,\xff,001001,n,u,0,0,8,x"}, PARSE + "line 2: record is not valid UTF-8"),
    ({"D00": [D_HEAD, "0,t,30100x,,,0010x1,n"]}, PARSE + 'bad descriptor code "30100x": invalid digit found in string'),
    ({"D00": "/"}, PARSE + "Is a directory (os error 21)"),
    (None, "io error: " + ENOENT),
])
def test_csv_outcome(tmp_path, files, expected):
    path = tmp_path / "none" if files is None else csv_dir(tmp_path, **files)
    assert outcome(TableSet.from_bufr4_45, path) == expected
