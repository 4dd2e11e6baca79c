"""The module surface: registration, signatures, argument conversion, file errors, lifecycle."""

import errno
import importlib
import inspect
import os
import pathlib
import subprocess
import sys
import types

import pytest

from bufr_writer import build_message
from norvane import _norvane

CLASSES = ["BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition", "TableSet"]
FUNCTIONS = {
    "parse_bytes": ("data",),
    "parse_file": ("path",),
    "parse_all_bytes": ("data",),
    "parse_all_file": ("path",),
    "expand_descriptors": ("table_dir", "descriptors"),
    "decode_values": ("data", "table_dir"),
    "decode_values_with_tables": ("data", "tables"),
    "decode_values_with_definitions": ("data", "definitions_root"),
}
MESSAGE = build_message([1001])


def test_public_names_in_registration_order():
    public = [name for name in vars(_norvane) if not name.startswith("_")]
    assert public == CLASSES + list(FUNCTIONS)
    assert all(isinstance(getattr(_norvane, name), type) for name in CLASSES)
    assert not _norvane.__doc__


@pytest.mark.parametrize(("name", "params"), FUNCTIONS.items(), ids=list(FUNCTIONS))
def test_function_signature(name, params):
    function = getattr(_norvane, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__text_signature__ == f"({', '.join(params)})"
    signature = inspect.signature(function)
    assert list(signature.parameters) == list(params)
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def _valid_args(tmp_path):
    """One valid value per parameter name (the calls may still fail later; only conversion matters)."""
    return {
        "data": MESSAGE,
        "path": str(tmp_path / "absent.bufr"),
        "table_dir": str(tmp_path / "absent"),
        "definitions_root": str(tmp_path / "absent"),
        "descriptors": [],
        "tables": None,  # only reached after a bad data argument, which is reported first
    }


def _cast_text(param, value, expected):
    return f"argument '{param}': '{type(value).__name__}' object cannot be cast as '{expected}'"


class SubBytes(bytes):
    pass


class SubStr(str):
    pass


BAD_BYTES = [bytearray(MESSAGE), memoryview(MESSAGE), MESSAGE.decode("latin-1"), None, 7]
BAD_STR = [pathlib.Path("/tmp"), b"/tmp", None, 7]


def _bad_argument_cases():
    for name, params in FUNCTIONS.items():
        for index, param in enumerate(params):
            if param == "data":
                cases = [(v, "bytes") for v in BAD_BYTES]
            elif param in ("path", "table_dir", "definitions_root"):
                cases = [(v, "str") for v in BAD_STR]
            elif param == "tables":
                cases = [(v, "TableSet") for v in (None, {}, "tables")]
            else:
                continue
            for value, expected in cases:
                yield pytest.param(name, index, value, expected, id=f"{name}-{param}-{type(value).__name__}")


@pytest.mark.parametrize(("name", "index", "value", "expected"), list(_bad_argument_cases()))
def test_argument_of_wrong_type(tmp_path, name, index, value, expected):
    params = FUNCTIONS[name]
    valid = _valid_args(tmp_path)
    args = [valid[p] for p in params]
    args[index] = value
    with pytest.raises(TypeError) as info:
        getattr(_norvane, name)(*args)
    assert info.value.args == (_cast_text(params[index], value, expected),)


def test_bad_data_is_reported_before_the_second_argument():
    with pytest.raises(TypeError) as info:
        _norvane.decode_values(bytearray(b"x"), 7)
    assert str(info.value) == "argument 'data': 'bytearray' object cannot be cast as 'bytes'"


def test_expand_descriptors_refuses_a_str_sequence(tmp_path):
    with pytest.raises(TypeError) as info:
        _norvane.expand_descriptors(str(tmp_path), "001001")
    assert str(info.value) == "argument 'descriptors': Can't extract `str` to `Vec`"


ARGUMENT_ERRORS = [
    ("parse_file", (), {}, "parse_file() missing 1 required positional argument: 'path'"),
    ("parse_bytes", (), {}, "parse_bytes() missing 1 required positional argument: 'data'"),
    ("parse_bytes", (MESSAGE, MESSAGE), {}, "parse_bytes() takes 1 positional argument but 2 were given"),
    ("parse_all_file", ("a", "b", "c"), {}, "parse_all_file() takes 1 positional argument but 3 were given"),
    ("parse_file", ("a",), {"path": "b"}, "parse_file() got multiple values for argument 'path'"),
    ("parse_all_bytes", (), {"buffer": MESSAGE}, "parse_all_bytes() got an unexpected keyword argument 'buffer'"),
    ("parse_file", (), {"path": "a", "mode": "rb"}, "parse_file() got an unexpected keyword argument 'mode'"),
    ("decode_values", (), {}, "decode_values() missing 2 required positional arguments: 'data' and 'table_dir'"),
    ("decode_values", (MESSAGE,), {}, "decode_values() missing 1 required positional argument: 'table_dir'"),
    ("decode_values", (), {"table_dir": "t"}, "decode_values() missing 1 required positional argument: 'data'"),
    ("expand_descriptors", ("t", [], []), {}, "expand_descriptors() takes 2 positional arguments but 3 were given"),
    ("decode_values_with_definitions", (MESSAGE, "r"), {"definitions_root": "r"},
     "decode_values_with_definitions() got multiple values for argument 'definitions_root'"),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "text"), ARGUMENT_ERRORS, ids=[t for *_, t in ARGUMENT_ERRORS])
def test_argument_count_and_keywords(name, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(_norvane, name)(*args, **kwargs)
    assert info.value.args == (text,)


def test_keyword_and_subclass_arguments(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(MESSAGE)
    for message in (
        _norvane.parse_file(path=str(path)),
        _norvane.parse_file(SubStr(path)),
        _norvane.parse_bytes(data=MESSAGE),
        _norvane.parse_bytes(SubBytes(MESSAGE)),
        _norvane.parse_all_bytes(data=SubBytes(MESSAGE))[0],
        _norvane.parse_all_file(path=SubStr(path))[0],
    ):
        assert message.unexpanded_descriptors == [1001]


FILE_FUNCTIONS = [_norvane.parse_file, _norvane.parse_all_file]


@pytest.mark.parametrize("function", FILE_FUNCTIONS, ids=lambda f: f.__name__)
def test_missing_file_is_a_plain_oserror(tmp_path, function):
    with pytest.raises(OSError) as info:
        function(str(tmp_path / "absent.bufr"))
    assert type(info.value) is OSError
    assert info.value.errno is None
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error 2)"


@pytest.mark.parametrize("function", FILE_FUNCTIONS, ids=lambda f: f.__name__)
def test_directory_is_an_unreadable_file(tmp_path, function):
    with pytest.raises(OSError) as info:
        function(str(tmp_path))
    assert type(info.value) is OSError
    assert str(info.value) == f"{os.strerror(errno.EISDIR)} (os error {errno.EISDIR})"


@pytest.mark.parametrize("function", FILE_FUNCTIONS, ids=lambda f: f.__name__)
def test_nul_in_path(tmp_path, function):
    with pytest.raises(OSError) as info:
        function(str(tmp_path) + "/a\0b")
    assert type(info.value) is OSError
    assert str(info.value) == "file name contained an unexpected NUL byte"


def test_panic_exception_is_a_base_exception():
    # An L1 of 3 in a 12-octet message leaves the fixed section 1 octets outside the buffer.
    broken = b"BUFR\x00\x00\x0c\x04\x00\x00\x03\x00"
    caught = []
    for _ in range(2):
        try:
            _norvane.parse_bytes(broken)
        except Exception as exc:  # pragma: no cover - the failure being tested for
            pytest.fail(f"caught as Exception: {exc!r}")
        except BaseException as exc:
            caught.append(type(exc))
    assert caught[0] is caught[1]
    assert caught[0].__name__ == "PanicException"
    assert caught[0].__bases__ == (BaseException,)


def test_arguments_are_not_leaked(tmp_path):
    path = str(tmp_path / "absent.bufr")
    bad = b"BUFR\x00\x00\x09\x04\x00"
    double = MESSAGE + MESSAGE
    calls = [
        (MESSAGE, _norvane.parse_bytes, (MESSAGE,), {}),
        (bad, _norvane.parse_bytes, (bad,), {}),
        (bad, _norvane.parse_all_bytes, (bad,), {}),
        (double, _norvane.parse_all_bytes, (double,), {}),
        (double, _norvane.parse_bytes, (double,), {}),
        (path, _norvane.parse_file, (path,), {}),
        (path, _norvane.parse_all_file, (path,), {}),
        (path, _norvane.parse_file, (path, path), {}),
        (path, _norvane.parse_file, (), {"path": path, "mode": path}),
        (bad, _norvane.decode_values, (bad, path), {}),
        (path, _norvane.decode_values, (MESSAGE, path), {}),
        (path, _norvane.expand_descriptors, (path, [1]), {}),
    ]
    for target, function, args, kwargs in calls:
        before = sys.getrefcount(target)
        for _ in range(10):
            try:
                function(*args, **kwargs)
            except (ValueError, TypeError, OSError):
                pass
        assert sys.getrefcount(target) == before, function.__name__


def test_results_hold_one_reference_each():
    messages = _norvane.parse_all_bytes(MESSAGE * 3)
    fresh = [object(), object(), object()]
    assert [sys.getrefcount(m) for m in messages] == [sys.getrefcount(o) for o in fresh]
    assert sys.getrefcount(messages) == sys.getrefcount(fresh)


def test_reimport_returns_the_same_module():
    name = _norvane.__spec__.name
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = _norvane
    assert again is _norvane


def _subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


def test_import_in_a_subinterpreter_fails(tmp_path):
    # Runs in a child process: a crash there must fail this test, not the whole run.
    if _subinterpreters() is None:
        pytest.skip("no sub-interpreter support in this Python")
    out = tmp_path / "result"
    inner = (
        f"import sys\nsys.path[:] = {sys.path!r}\n"
        "try:\n"
        "    import norvane._norvane\n"
        "    result = 'imported'\n"
        "except ImportError as exc:\n"
        "    result = type(exc).__name__ + ': ' + str(exc)\n"
        f"with open({str(out)!r}, 'w') as f:\n"
        "    f.write(result)\n"
    )
    script = (
        "import importlib\n"
        "import norvane._norvane\n"
        "for name in ('_interpreters', '_xxsubinterpreters'):\n"
        "    try:\n"
        "        interpreters = importlib.import_module(name)\n"
        "        break\n"
        "    except ImportError:\n"
        "        pass\n"
        "interp = interpreters.create()\n"
        f"interpreters.run_string(interp, {inner!r})\n"
        "interpreters.destroy(interp)\n"
    )
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert out.read_text().startswith("ImportError: ")
