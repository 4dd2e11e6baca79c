"""The binding layer's soundness: no C++ exception reaches the interpreter, nothing leaks on any
path, paths pass through the file-system encoding, and argument conversion survives re-entry."""

import os
import re
import subprocess
import sys
import tracemalloc
from pathlib import Path

import pytest

from bufr_writer import build_message, write_table_dir
from norvane import _norvane
from norvane._norvane import Descriptor, TableSet

LIB = Path(__file__).resolve().parents[2] / "src" / "lib"
MESSAGE = build_message([1001], [(5, 7)])
ELEMENTS, SEQUENCES = [(1001, "BLOCK", "u", 0, 0, 7)], {301001: [1001]}
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def table_entries(text):
    """(kind, entry) for every entry of every PyMethodDef, PyGetSetDef and PyType_Slot array in ``text``."""
    for kind, body in re.findall(r"\b(PyMethodDef|PyGetSetDef|PyType_Slot)\s+\w+\[\]\s*=\s*\{(.*?)\n\};", text, re.S):
        entry, depth = "", 0
        for char in body + ",":
            depth += (char in "([{") - (char in ")]}")
            if char == "," and depth == 0:
                if entry.strip():
                    yield kind, entry.strip()
                entry = ""
            else:
                entry += char


def test_every_entry_point_goes_through_nv_entry():
    # NV_ENTRY is what catches C++ exceptions: a function registered without it may terminate the interpreter.
    kinds, unguarded = [], []
    for path in sorted(LIB.glob("*.cpp")):
        text = re.sub(r'"(?:\\.|[^"\\])*"', '""', re.sub(r"//[^\n]*", "", path.read_text()))
        macros = dict(re.findall(r"#define (\w+)\(.*?\)((?:.*\\\n)*.*)", text))

        def guarded(entry, seen=()):
            name = re.match(r"\w+", entry)
            return "NV_ENTRY(" in entry or (name is not None and name[0] in macros and name[0] not in seen
                                            and guarded(macros[name[0]], (*seen, name[0])))

        for kind, entry in table_entries(text):
            kinds.append(kind)
            sentinel = re.fullmatch(r"\{\s*(?:(?:nullptr|0)\s*,?\s*)+\}", entry)
            data_slot = re.fullmatch(r"\{\s*Py_tp_(?:methods|getset|members|doc)\s*,.*\}", entry, re.S)
            if not (sentinel or data_slot or guarded(entry)):
                unguarded.append(f"{path.name}: {entry}")
        # No other way in: no slot assigned by hand, no cast to a method pointer outside NV_ENTRY.
        unguarded += [f"{path.name}: {m}" for m in re.findall(
            r".*(?:->\s*tp_\w+\s*=[^=]|\(PyCFunction\)|reinterpret_cast<PyCFunction>).*", text)]
        if "PyInit_" in text:
            unguarded += [f"{path.name}: {m}" for m in re.findall(r"PyInit_\w+\(\)\s*\{\s*(.*?);", text, re.S)
                          if not m.startswith("return NV_ENTRY(")]
    assert unguarded == []
    # The module's functions, the methods, attributes and slots of the six classes: all found and read.
    assert kinds.count("PyMethodDef") >= 19 and kinds.count("PyGetSetDef") >= 57 and kinds.count("PyType_Slot") >= 30


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's operator new aborts instead of throwing std::bad_alloc")
def test_allocation_failure_is_a_memory_error(tmp_path):
    # A file far larger than any allocation can be: reading it fails with std::bad_alloc in C++.
    # In a child process, so a terminated interpreter fails this test only.
    big = tmp_path / "big.bufr"
    try:
        with open(big, "wb") as f:
            f.truncate(1 << 41)  # sparse: no disk is used
    except OSError:
        pytest.skip("this file system has no sparse 2 TiB files")
    script = f"""
import resource
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
from norvane import _norvane
for function in (_norvane.parse_file, _norvane.parse_all_file):
    try:
        function({str(big)!r})
    except MemoryError as error:
        print(type(error).__name__)
"""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert (done.returncode, done.stdout.split()) == (0, ["MemoryError"] * 2), done.stderr


@pytest.fixture
def undecodable(tmp_path):
    """A directory whose name is the octets ff fe (not UTF-8), holding a message and three kinds of tables."""
    name = os.path.join(os.fsencode(tmp_path), b"\xff\xfe")
    try:
        os.mkdir(name)
    except (OSError, UnicodeError):
        pytest.skip("this platform has no file names that are not UTF-8")
    root = Path(os.fsdecode(name))  # the two octets become lone surrogates
    (root / "one.bufr").write_bytes(MESSAGE)
    write_table_dir(root / "tables", ELEMENTS, SEQUENCES)
    write_table_dir(root / "defs/bufr/tables/0/wmo/35", ELEMENTS, SEQUENCES)
    (root / "csv").mkdir()
    (root / "csv/BUFRCREX_TableB_en_00.csv").write_text("No,Class,FXY,Name,Unit,Scale,Reference,Width,CREX\n"
                                                         "0,c,001001,BLOCK,u,0,0,7,x\n")
    return str(root)


@pytest.mark.parametrize(("call", "expected"), [
    (lambda d: _norvane.parse_file(f"{d}/one.bufr").unexpanded_descriptors, [1001]),
    (lambda d: [m.unexpanded_descriptors for m in _norvane.parse_all_file(f"{d}/one.bufr")], [[1001]]),
    (lambda d: [v.raw for v in _norvane.decode_values(MESSAGE, f"{d}/tables")], [5]),
    (lambda d: [v.raw for v in _norvane.decode_values_with_definitions(MESSAGE, f"{d}/defs")], [5]),
    (lambda d: _norvane.expand_descriptors(f"{d}/tables", [301001]), [1001]),
    (lambda d: TableSet.from_eccodes(f"{d}/tables").expand([301001]), [1001]),
    (lambda d: TableSet.from_definitions(f"{d}/defs", _norvane.parse_bytes(MESSAGE)).expand([301001]), [1001]),
    (lambda d: TableSet.from_bufr4_45(f"{d}/csv").get_element(1001).name, "BLOCK"),
], ids=["parse_file", "parse_all_file", "decode_values", "decode_values_with_definitions", "expand_descriptors",
        "from_eccodes", "from_definitions", "from_bufr4_45"])
def test_path_that_is_not_utf8(undecodable, call, expected):
    assert call(undecodable) == expected


def test_descriptor_list_changed_while_it_is_converted():
    # Converting an item may run Python code that empties the list: the rest is read as it now is.
    class Clearing:
        def __index__(self):
            codes.clear()
            return 1001

    codes = [Clearing(), Clearing(), 1002]
    assert TableSet().expand(codes) == [1001]


def test_repeated_calls_keep_no_objects(tmp_path):
    tables_dir = str(write_table_dir(tmp_path, ELEMENTS, SEQUENCES, {1001: {5: "five"}}))
    tables, absent = TableSet.from_eccodes(tables_dir), str(tmp_path / "absent")
    value, short = _norvane.decode_values_with_tables(MESSAGE, tables)[0], build_message([1001])
    calls = [  # each fails, or returns objects that are dropped at once
        lambda: _norvane.parse_bytes(b"BUFR"), lambda: _norvane.parse_all_bytes(MESSAGE * 2 + b"BUFR"),
        lambda: _norvane.parse_file(absent), lambda: _norvane.parse_all_file(tmp_path), lambda: _norvane.parse_file(),
        lambda: _norvane.parse_bytes(data=MESSAGE, extra=1), lambda: _norvane.parse_file(b"x"),
        lambda: _norvane.decode_values(MESSAGE, absent), lambda: _norvane.decode_values(MESSAGE[:-5], tables_dir),
        lambda: _norvane.decode_values_with_tables(short, tables),
        lambda: _norvane.decode_values_with_definitions(MESSAGE, absent),
        lambda: _norvane.expand_descriptors(tables_dir, [2**40]), lambda: _norvane.expand_descriptors(absent, "x"),
        lambda: tables.expand([301002]), lambda: tables.expand([1, "x"]), lambda: tables.get_meaning(1001, -1),
        lambda: TableSet.from_eccodes(absent), lambda: TableSet.from_bufr4_45(absent),
        lambda: TableSet.from_definitions(absent, _norvane.parse_bytes(MESSAGE)), lambda: TableSet(x=1),
        lambda: Descriptor(0, 1, 256), lambda: Descriptor.from_fxy(code=-1),
        lambda: [repr(x) for x in (tables, tables.get_element(1001), tables.get_sequence(301001), Descriptor(0, 1, 1),
                                   _norvane.parse_bytes(MESSAGE), value)],
        lambda: (value.name, value.data, value.raw_meaning, tables.get_sequence(301001).members,
                 _norvane.parse_bytes(MESSAGE).unexpanded_descriptors),
        lambda: _norvane.decode_values_with_tables(MESSAGE, tables),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, OverflowError, OSError, UnicodeError):
                    pass

    run(20)  # caches and free lists fill up first
    tracemalloc.start()
    try:
        run(200)
        kept = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert kept < 200 * 8  # one object kept per round would be 16 bytes or more each time
