"""The three table loaders: an ecCodes table directory, an ecCodes definitions root chosen by
a message, and the WMO BUFR4 CSV files. Every table is written into tmp_path here."""

import os

import pytest

from bufr_writer import build_message, write_table_dir
from norvane import TableSet, parse_bytes

ENOENT = "No such file or directory (os error 2)"
PARSE = "csv/table parse error: "


def error_of(load, path, *args):
    with pytest.raises(ValueError) as info:
        load(str(path), *args)
    return str(info.value)


def eccodes_dir(tmp_path, element_rows=b"", sequence_def="", code_tables=None):
    root = write_table_dir(tmp_path / "t", sequences=sequence_def, code_tables=code_tables)
    (root / "element.table").write_bytes(b"#code|abbreviation|type|name|unit|scale|reference|width\n" + element_rows)
    return root


class TestEccodesDir:
    def test_element_table_rows(self, tmp_path):
        rows = b'001001|a|long|first|u|0|0|8|x|y|z\n\n"001001"|ab|t|"x|""y"""|unit |-1|-5|12|x|y|z\r\n'
        e = TableSet.from_eccodes(str(eccodes_dir(tmp_path, rows))).get_element(1001)
        assert (e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width) == ("ab", "t", 'x|"y"', "unit ", -1, -5, 12)

    def test_seven_field_records_are_skipped(self, tmp_path):
        root = eccodes_dir(tmp_path, b"001001|a|long|n|u|0|0\n001002|a|long|n|u|0|0\n")
        assert repr(TableSet.from_eccodes(str(root))) == "TableSet(elements=0, sequences=0)"

    def test_short_record_among_full_ones(self, tmp_path):
        root = eccodes_dir(tmp_path, b"001001|a|long|n|u|0|0|8|x|y|z\n001002|a|long|n|u|0|0\n")
        assert error_of(TableSet.from_eccodes, root) == PARSE + "line 3: found record with 7 fields, but the first record has 11 fields"

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ('"300002" = [  000002, 000003 ]\n"300002" = [ 4 ]', {300002: [4]}),
            ('"301001" = [ 001001,\n\n# comment\n  001002,\r\n 001003 ]\n', {301001: [1001, 1002, 1003]}),
            ('"301001" = [ , 001001 ,, 001002, ]  "301002" = [1002]', {301001: [1001, 1002]}),
            ('"301001" = []\n301002 [1]\n"301003" = [ 1,', {301001: []}),  # no '=', never closed
            ('"301001" = [ 1\n# ]\n, 2 ]', {301001: [1, 2]}),
        ],
    )
    def test_sequence_statements(self, tmp_path, text, expected):
        tables = TableSet.from_eccodes(str(eccodes_dir(tmp_path, sequence_def=text)))
        assert {code: tables.get_sequence(code).members for code in expected} == expected
        assert tables.sequence_count == len(expected)

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ('"30]001" = 001001\n', '"30]001" = 001001'),  # the ']' of the key ends the statement
            ('"301001" =\n ] 1 [', '"301001" = ] 1 ['),
            ('"3010x1" = [ 1 ]', 'bad descriptor code "\\"3010x1\\" ": invalid digit found in string'),
            ('"301001" = [ 1, 0 01 ]', 'bad descriptor code "0 01": invalid digit found in string'),
        ],
    )
    def test_malformed_statements(self, tmp_path, text, message):
        assert error_of(TableSet.from_eccodes, eccodes_dir(tmp_path, sequence_def=text)) == PARSE + message

    def test_code_tables(self, tmp_path):
        root = eccodes_dir(tmp_path, code_tables={1003: "# c\n3 3 Region   \t III \n4 4\n5\n0 0 a\n0 x b\n07 7 seven\n"})
        ct = root / "codetables"
        (ct / "001002.table").write_text("1 1 padded\n2 2 only padded\n")
        (ct / "1002.table").write_text("1 1 plain\n")  # sorts after 001002.table and replaces it whole
        (ct / "README").write_text("x y z\n")
        (ct / os.fsdecode(b"\xff.table")).write_text("x y z\n")  # stem not UTF-8: skipped
        tables = TableSet.from_eccodes(str(root))
        assert [tables.get_meaning(1003, raw) for raw in range(8)] == ["b", None, None, "Region III", None, None, None, "seven"]
        assert (tables.get_meaning(1002, 1), tables.get_meaning(1002, 2)) == ("plain", None)

    @pytest.mark.parametrize(
        ("name", "text", "message"),
        [
            ("1003.table", "0 0 ok\nx y z\n", PARSE + 'bad code table key "x": invalid digit found in string'),
            (".table", "", PARSE + 'bad descriptor code ".table": invalid digit found in string'),
            ("1.2.table", "", PARSE + 'bad descriptor code "1.2": invalid digit found in string'),
            ("1003.table", b"1 1 \xe9\n", "io error: stream did not contain valid UTF-8"),
        ],
    )
    def test_code_table_errors(self, tmp_path, name, text, message):
        root = eccodes_dir(tmp_path, code_tables={})
        (root / "codetables" / name).write_bytes(text if isinstance(text, bytes) else text.encode())
        assert error_of(TableSet.from_eccodes, root) == message

    @pytest.mark.parametrize(
        ("change", "message"),
        [
            (lambda r: (r / "element.table").unlink(), PARSE + ENOENT),
            (lambda r: [(r / "element.table").unlink(), (r / "element.table").mkdir()], PARSE + "Is a directory (os error 21)"),
            (lambda r: (r / "element.table").write_bytes(b"1|a|b|\xc3(|u|0|0|8\n"), PARSE + "line 1: record is not valid UTF-8"),
            (lambda r: (r / "sequence.def").unlink(), "io error: " + ENOENT),
            (lambda r: (r / "sequence.def").write_bytes(b"# \xff\n"), "io error: stream did not contain valid UTF-8"),
            (lambda r: (r / "codetables").write_text(""), "io error: Not a directory (os error 20)"),
            (lambda r: (r / "codetables").symlink_to(r / "gone"), None),  # a failed status query means absent
        ],
    )
    def test_file_errors(self, tmp_path, change, message):
        root = eccodes_dir(tmp_path)
        change(root)
        if message is None:
            assert TableSet.from_eccodes(str(root)).element_count == 0
        else:
            assert error_of(TableSet.from_eccodes, root) == message

    def test_missing_directory(self, tmp_path):
        assert error_of(TableSet.from_eccodes, tmp_path / "none") == PARSE + ENOENT


def definitions(tmp_path, *versions):
    """A definitions root with a WMO directory per version, element 1001 named after it."""
    root = tmp_path / "defs"
    (root / "bufr/tables/0/wmo").mkdir(parents=True)
    for version in versions:
        write_table_dir(root / "bufr/tables/0/wmo" / str(version), elements=[(1001, f"wmo {version}", "u", 0, 0, 7)],
                        sequences={301001: [1001]}, code_tables={1003: {0: "A", 1: "B"}})
    return root


def from_definitions(root, **fields):
    return TableSet.from_definitions(str(root), parse_bytes(build_message([1001], [(1, 7)], **fields)))


def definitions_error(root, **fields):
    with pytest.raises(ValueError) as info:
        from_definitions(root, **fields)
    return str(info.value)


class TestDefinitionsRoot:
    @pytest.mark.parametrize(
        ("entries", "loaded"),
        [
            ({}, 35),
            ({"35": "34\n"}, 34),
            ({"35": " \t34\r\n"}, 34),
            ({"35": "34", "34": "33"}, 33),
            ({"35": "36", "36": "-> 33"}, 33),  # 36 is a symbolic link to 33
        ],
    )
    def test_aliases(self, tmp_path, entries, loaded):
        root = definitions(tmp_path, 33, *(v for v in (34, 35) if str(v) not in entries))
        wmo = root / "bufr/tables/0/wmo"
        for name, content in entries.items():
            if content.startswith("-> "):
                (wmo / name).symlink_to(content[3:])
            else:
                (wmo / name).write_text(content)
        assert from_definitions(root, master_version=35).get_element(1001).name == f"wmo {loaded}"

    @pytest.mark.parametrize(
        ("entries", "message"),
        [
            ({}, "ecCodes table directory does not exist: {wmo}/35"),
            ({"35": "34"}, "ecCodes table directory does not exist: {wmo}/34"),
            ({"35": "../34"}, 'invalid ecCodes table alias {wmo}/35 -> "../34"'),
            ({"35": " \n"}, 'invalid ecCodes table alias {wmo}/35 -> ""'),
            ({"35": "a\\b"}, 'invalid ecCodes table alias {wmo}/35 -> "a\\\\b"'),
            ({"35": "35"}, "ecCodes table alias chain longer than 32 links at {wmo}/35"),
            ({"35": "34", "34": "35"}, "ecCodes table alias chain longer than 32 links at {wmo}/35"),
        ],
    )
    def test_alias_errors(self, tmp_path, entries, message):
        root = definitions(tmp_path)
        for name, content in entries.items():
            (root / "bufr/tables/0/wmo" / name).write_text(content)
        assert definitions_error(root, master_version=35) == PARSE + message.format(wmo=root / "bufr/tables/0/wmo")

    def test_alias_chain_bound(self, tmp_path):
        root = definitions(tmp_path, 100)
        for version in range(101, 134):  # 133 -> 132 -> ... -> 100
            (root / "bufr/tables/0/wmo" / str(version)).write_text(str(version - 1))
        assert from_definitions(root, master_version=132).get_element(1001).name == "wmo 100"  # 32 aliases
        assert "alias chain longer than 32" in definitions_error(root, master_version=133)

    @pytest.mark.parametrize(("version", "local_name"), [(19, "19-1"), (20, "1"), (18, "1")])
    def test_local_directory_name(self, tmp_path, version, local_name):
        root = definitions(tmp_path, version)
        write_table_dir(root / "bufr/tables/0/local" / local_name / "98/0", elements=[(1001, "local", "u", 0, 0, 7)])
        assert from_definitions(root, master_version=version, local_version=1, centre=98).get_element(1001).name == "local"

    def test_local_tables_merge_over_wmo(self, tmp_path):
        root = definitions(tmp_path, 35)
        write_table_dir(root / "bufr/tables/0/local/7/254/3", elements=[(1001, "local", "u", 1, 0, 9), (48001, "new", "u", 0, 0, 4)],
                        sequences={301002: [48001]}, code_tables={1003: {5: "C"}})
        t = from_definitions(root, local_version=7, centre=254, subcentre=3)
        assert (t.get_element(1001).width, t.get_element(48001).name, t.element_count, t.sequence_count) == (9, "new", 2, 2)
        assert [t.get_meaning(1003, raw) for raw in (0, 5)] == [None, "C"]  # a local table replaces the whole table

    def test_local_directory_holding_only_code_tables(self, tmp_path):
        root = definitions(tmp_path, 35)
        (root / "bufr/tables/0/local/1/98/0/codetables").mkdir(parents=True)
        (root / "bufr/tables/0/local/1/98/0/codetables/2001.table").write_text("0 0 local\n")
        t = from_definitions(root, local_version=1, centre=98)
        assert (t.element_count, t.sequence_count, t.get_meaning(2001, 0), t.get_meaning(1003, 1)) == (1, 1, "local", "B")

    @pytest.mark.parametrize(("local_version", "subcentre", "fails"), [(0, 0, False), (1, 5, False), (1, 0, True)])
    def test_local_directory_read_only_when_asked_for(self, tmp_path, local_version, subcentre, fails):
        root = definitions(tmp_path, 35)
        write_table_dir(root / "bufr/tables/0/local/1/98/0", sequences='"301001" = ] [')
        fields = {"local_version": local_version, "centre": 98, "subcentre": subcentre}
        if fails:
            assert definitions_error(root, **fields) == PARSE + '"301001" = ] ['
        else:
            assert from_definitions(root, **fields).get_element(1001).name == "wmo 35"


def csv_dir(tmp_path, **files):
    root = tmp_path / "csv"
    root.mkdir()
    for name, rows in files.items():
        text = rows if isinstance(rows, bytes) else "\n".join(rows).encode()
        (root / (name.replace("B", "BUFRCREX_TableB_en_").replace("D", "BUFR_TableD_en_") + ".csv")).write_bytes(text)
    return root


B_HEAD = "No,Class,FXY,Name,Unit,Scale,Reference,Width,CREX"
D_HEAD = "Cat,Title,FXY1,Title,Sub,FXY2,Name"


class TestWmoCsv:
    def test_only_matching_files_are_read(self, tmp_path):
        root = csv_dir(tmp_path, B00=[B_HEAD])
        for name in ("README", "BUFRCREX_TableB_en_01.CSV", "bufr_TableD_en_01.csv"):
            (root / name).write_text("x")
        assert repr(TableSet.from_bufr4_45(str(root))) == "TableSet(elements=0, sequences=0)"

    @pytest.mark.parametrize(
        ("unit", "element_type"),
        [("CCITT IA5", "string"), ("Code table", "code"), ("Flag table", "flags"), ("code table", "long"), ("Code table ", "long"), ("K", "long")],
    )
    def test_element_type_from_unit(self, tmp_path, unit, element_type):
        t = TableSet.from_bufr4_45(str(csv_dir(tmp_path, B00=[B_HEAD, f"0,c,001001,n,{unit},0,0,8,x"])))
        assert (t.get_element(1001).element_type, t.get_element(1001).unit, t.get_element(1001).abbreviation) == (element_type, unit, "")
        assert t.get_meaning(1001, 0) is None

    def test_fields_and_file_order(self, tmp_path):
        root = csv_dir(tmp_path, B01=[B_HEAD, '0,c,012101,"T, ""air""",K,"-1",-1024,16,x', "0,c,001002,keep,u,0,0,8,x"],
                       B00=[B_HEAD, "0,c,012101,first,u,0,0,8,x"], B1a=[B_HEAD, "0,c,001002,last,u,0,0,8,x"])
        t = TableSet.from_bufr4_45(str(root))
        e = t.get_element(12101)
        assert (e.name, e.unit, e.scale, e.reference, e.width, t.get_element(1002).name) == ('T, "air"', "K", -1, -1024, 16, "last")

    def test_sequences(self, tmp_path):
        root = csv_dir(tmp_path, D01=[D_HEAD, "0,t,301001,,,001001,n", "0,t,301002,,,1,n", "0,t, 301001,,,\"001002\",n",
                                      "0,t,301003,,,1,n"], D02=[D_HEAD, "0,t,301003,,,001009,n"])
        t = TableSet.from_bufr4_45(str(root))
        assert [t.get_sequence(c).members for c in (301001, 301002, 301003)] == [[1001, 1002], [1], [1009]]

    def test_short_header_skips_every_record(self, tmp_path):
        root = csv_dir(tmp_path, B00=["a,b,c,d,e,f,g", "1,2,001001,n,u,0,0"], D00=["a,b,c,d,e", "1,2,301001,x,y"])
        assert repr(TableSet.from_bufr4_45(str(root))) == "TableSet(elements=0, sequences=0)"

    @pytest.mark.parametrize(
        ("files", "message"),
        [
            ({"B00": [B_HEAD, "0,c,001001,n,u, -1,0,8,x"]}, PARSE + 'bad i32 " -1": invalid digit found in string'),
            ({"B00": [B_HEAD, "1,2,3"]}, PARSE + "line 2: found record with 3 fields, but the first record has 9 fields"),
            ({"B00": B_HEAD.encode() + b"\n0,\xff,001001,n,u,0,0,8,x"}, PARSE + "line 2: record is not valid UTF-8"),
            ({"D00": [D_HEAD, "0,t,30100x,,,0010x1,n"]}, PARSE + 'bad descriptor code "30100x": invalid digit found in string'),
        ],
    )
    def test_errors(self, tmp_path, files, message):
        assert error_of(TableSet.from_bufr4_45, csv_dir(tmp_path, **files)) == message

    def test_unreadable_paths(self, tmp_path):
        root = csv_dir(tmp_path)
        (root / "BUFR_TableD_en_00.csv").mkdir()
        assert error_of(TableSet.from_bufr4_45, root) == PARSE + "Is a directory (os error 21)"
        assert error_of(TableSet.from_bufr4_45, tmp_path / "none") == "io error: " + ENOENT
