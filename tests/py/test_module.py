"""The module surface: registration, signatures, argument conversion, file errors, lifecycle, Descriptor."""

import contextlib
import errno
import importlib
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

from bufr_writer import assemble, build_message, section3, section4, write_table_dir
from norvane import _norvane
from norvane._norvane import Descriptor, TableSet

CLASSES = ["BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition", "TableSet"]
FUNCTIONS = {
    "parse_bytes": ("data",), "parse_file": ("path",), "parse_all_bytes": ("data",), "parse_all_file": ("path",),
    "expand_descriptors": ("table_dir", "descriptors"), "decode_values": ("data", "table_dir"),
    "decode_values_with_tables": ("data", "tables"), "decode_values_with_definitions": ("data", "definitions_root"),
}
MESSAGE = build_message([1001])
OUT_OF_RANGE = "out of range integral type conversion attempted"
SIGNATURES = [(getattr(_norvane, name), f"({', '.join(params)})") for name, params in FUNCTIONS.items()] + [
    (Descriptor, "(f, x, y)"), (Descriptor.from_fxy, "(code)"), (TableSet, "()"), (TableSet.from_eccodes, "(path)"),
    (TableSet.from_definitions, "(path, message)"), (TableSet.from_bufr4_45, "(path)"),
    (TableSet.get_element, "($self, code)"), (TableSet.get_sequence, "($self, code)"),
    (TableSet.get_meaning, "($self, code, raw)"), (TableSet.expand, "($self, descriptors)"),
]


def test_public_names_in_registration_order():
    assert [name for name in vars(_norvane) if not name.startswith("_")] == CLASSES + list(FUNCTIONS)
    assert all(isinstance(getattr(_norvane, name), type) for name in CLASSES) and not _norvane.__doc__


@pytest.mark.parametrize(("function", "signature"), SIGNATURES, ids=[s[0].__qualname__ for s in SIGNATURES])
def test_text_signature(function, signature):
    assert function.__text_signature__ == signature and not function.__doc__
    parameters = [p for p in inspect.signature(function).parameters.values() if p.name != "self"]
    assert [p.name for p in parameters] == [n for n in signature.strip("()").split(", ") if n not in ("", "$self")]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


EXPECTED = {"data": "bytes", "path": "str", "table_dir": "str", "definitions_root": "str", "tables": "TableSet"}
BAD = {"bytes": bytearray(MESSAGE), "str": pathlib.Path("/tmp"), "TableSet": {}}
CASTS = [(name, i) for name, params in FUNCTIONS.items() for i, p in enumerate(params) if p in EXPECTED]


@pytest.mark.parametrize(("name", "index"), CASTS, ids=[f"{n}-{FUNCTIONS[n][i]}" for n, i in CASTS])
def test_argument_of_wrong_type_in_parameter_order(name, index):
    # Every later argument is wrong too: the first wrong one is the one reported.
    params = FUNCTIONS[name]
    args = [MESSAGE if p == "data" else "/absent" for p in params[:index]]
    args += [BAD.get(EXPECTED.get(p), 7) for p in params[index:]]
    with pytest.raises(TypeError) as info:
        getattr(_norvane, name)(*args)
    bad, expected = type(args[index]).__name__, EXPECTED[params[index]]
    assert info.value.args == (f"argument '{params[index]}': '{bad}' object cannot be cast as '{expected}'",)


TYPE_ERRORS = [
    (lambda: _norvane.parse_file(), "parse_file() missing 1 required positional argument: 'path'"),
    (lambda: _norvane.decode_values(), "decode_values() missing 2 required positional arguments: 'data' and "
     "'table_dir'"),
    (lambda: Descriptor(), "Descriptor() missing 3 required positional arguments: 'f', 'x', and 'y'"),
    (lambda: _norvane.parse_bytes(MESSAGE, MESSAGE), "parse_bytes() takes 1 positional argument but 2 were given"),
    (lambda: TableSet(1), "TableSet() takes 0 positional arguments but 1 was given"),
    (lambda: _norvane.parse_file("a", path="b"), "parse_file() got multiple values for argument 'path'"),
    (lambda: _norvane.parse_all_bytes(buf=MESSAGE), "parse_all_bytes() got an unexpected keyword argument 'buf'"),
    (lambda: Descriptor(1, 2, 3, z=4), "Descriptor() got an unexpected keyword argument 'z'"),
    (lambda: _norvane.expand_descriptors("/absent", "001001"), "argument 'descriptors': Can't extract `str` to `Vec`"),
    (lambda: TableSet().expand(1), "argument 'descriptors': 'int' object cannot be converted to 'Sequence'"),
    (lambda: TableSet.from_definitions("d", 1), "argument 'message': 'int' object cannot be cast as 'BufrMessage'"),
    (lambda: Descriptor(0, y=1.0, x=0), "argument 'y': 'float' object cannot be interpreted as an integer"),
    *((call, OUT_OF_RANGE) for call in (
        lambda: Descriptor(256, 0, 0), lambda: Descriptor(0, -1, 0), lambda: Descriptor(0, 0, 2**64),
        lambda: Descriptor.from_fxy(2**32), lambda: Descriptor.from_fxy(-(2**70)), lambda: TableSet().get_element(-1),
        lambda: TableSet().get_meaning(2**63 - 1, 0), lambda: _norvane.expand_descriptors("/absent", [2**32]))),
]


@pytest.mark.parametrize(("call", "text"), TYPE_ERRORS, ids=[t for _, t in TYPE_ERRORS])
def test_argument_count_keywords_and_conversion(call, text):
    with pytest.raises(OverflowError if text == OUT_OF_RANGE else TypeError) as info:
        call()
    assert info.value.args == (text,)


def test_keyword_and_subclass_arguments(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(MESSAGE)
    text, data = type("SubStr", (str,), {})(path), type("SubBytes", (bytes,), {})(MESSAGE)
    for message in (_norvane.parse_file(path=text), _norvane.parse_bytes(data=data),
                    _norvane.parse_all_bytes(data)[0], _norvane.parse_all_file(text)[0]):
        assert message.unexpanded_descriptors == [1001]


@pytest.mark.parametrize("function", [_norvane.parse_file, _norvane.parse_all_file], ids=lambda f: f.__name__)
@pytest.mark.parametrize(("name", "text"), [
    ("absent.bufr", f"{os.strerror(errno.ENOENT)} (os error 2)"),
    ("", f"{os.strerror(errno.EISDIR)} (os error {errno.EISDIR})"),
    ("a\0b", "file name contained an unexpected NUL byte"),
])
def test_unreadable_file_is_a_plain_oserror(tmp_path, function, name, text):
    with pytest.raises(OSError) as info:
        function(os.path.join(tmp_path, name))
    assert (type(info.value), info.value.errno, str(info.value)) == (OSError, None, text)


def test_arguments_and_results_are_not_leaked():
    path, bad, double = "/absent/x.bufr", b"BUFR\x00\x00\x09\x04\x00", MESSAGE * 2
    for function, *args in [
        (_norvane.parse_bytes, MESSAGE), (_norvane.parse_all_bytes, bad), (_norvane.parse_all_bytes, double),
        (_norvane.parse_bytes, double), (_norvane.parse_file, path), (_norvane.parse_all_file, path),
        (_norvane.parse_file, path, path), (lambda p: _norvane.parse_file(path=p, mode=p), path),
        (_norvane.decode_values, bad, path), (_norvane.decode_values, MESSAGE, path),
        (_norvane.expand_descriptors, path, [1]), (TableSet().expand, [401001]),
    ]:
        before = [sys.getrefcount(a) for a in args]
        for _ in range(10):
            with contextlib.suppress(ValueError, TypeError, OSError):
                function(*args)
        assert [sys.getrefcount(a) for a in args] == before, (function, args)
    messages, fresh = _norvane.parse_all_bytes(MESSAGE * 3), [object(), object(), object()]
    assert [sys.getrefcount(m) for m in messages + [messages]] == [sys.getrefcount(o) for o in fresh + [fresh]]


def test_reimport_returns_the_same_module():
    del sys.modules[_norvane.__spec__.name]
    try:
        assert importlib.import_module(_norvane.__spec__.name) is _norvane
    finally:
        sys.modules[_norvane.__spec__.name] = _norvane


def test_import_in_a_subinterpreter_fails(tmp_path):
    # In a child process: a crash there must fail this test, not the whole run.
    out = str(tmp_path / "result")
    inner = (f"import sys\nsys.path[:] = {sys.path!r}\ntry:\n    import norvane._norvane\nexcept ImportError as e:\n"
             f"    open({out!r}, 'w').write('ImportError: ' + str(e))\n")
    script = ("import importlib.util, norvane._norvane\n"
              "names = [n for n in ('_interpreters', '_xxsubinterpreters') if importlib.util.find_spec(n)]\n"
              "if not names: raise SystemExit(3)\ni = __import__(names[0])\n"
              f"x = i.create()\ni.run_string(x, {inner!r})\ni.destroy(x)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if done.returncode == 3:
        pytest.skip("no sub-interpreter support in this Python")
    assert done.returncode == 0, done.stderr
    assert pathlib.Path(out).read_text().startswith("ImportError: ")


@pytest.mark.parametrize(("make", "fxy", "code", "text"), [
    (lambda: Descriptor(3, y=11, x=1), (3, 1, 11), 301011, "Descriptor(301011)"),
    (lambda: Descriptor(0, 1, 1), (0, 1, 1), 1001, "Descriptor(001001)"),
    (lambda: Descriptor(f=255, x=255, y=255), (255, 255, 255), 25755255, "Descriptor(25755255)"),
    (lambda: Descriptor.from_fxy(code=1999), (0, 1, 231), 1231, "Descriptor(001231)"),  # each field keeps 8 bits
    (lambda: Descriptor.from_fxy(4294967295), (197, 67, 39), 19767039, "Descriptor(19767039)"),
])
def test_descriptor(make, fxy, code, text):
    d = make()
    assert ((d.f, d.x, d.y), d.fxy, repr(d)) == (fxy, code, text)
    assert all(type(v) is int for v in (d.f, d.x, d.y, d.fxy))


def test_records_are_read_only_with_identity_semantics(tmp_path):
    tables = TableSet.from_eccodes(str(write_table_dir(tmp_path, [(1001, "A", "u", 0, 0, 7)], {301001: [1001]})))
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a == a and a != b and len({a, b, a}) == 2 and TableSet() != TableSet()
    for obj in (a, _norvane.parse_bytes(MESSAGE), tables, tables.get_element(1001), tables.get_sequence(301001)):
        for name in [n for n in dir(obj) if not n.startswith("_") and not callable(getattr(obj, n))] + ["extra"]:
            pytest.raises(AttributeError, setattr, obj, name, 1)
    for cls in map(vars(_norvane).get, CLASSES):
        pytest.raises(TypeError, setattr, cls, "extra", 1)
        if cls not in (Descriptor, TableSet):
            pytest.raises(TypeError, cls)
