"""The Descriptor class: construction, from_fxy, repr, identity semantics."""

import inspect

import pytest

from norvane._norvane import Descriptor

OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    ("fxy", "code", "text"),
    [
        ((3, 1, 11), 301011, "Descriptor(301011)"),
        ((0, 1, 1), 1001, "Descriptor(001001)"),
        ((0, 0, 0), 0, "Descriptor(000000)"),
        ((0, 0, 1), 1, "Descriptor(000001)"),
        ((2, 0, 255), 200255, "Descriptor(200255)"),
        ((9, 99, 255), 999255, "Descriptor(999255)"),
        ((10, 0, 0), 1000000, "Descriptor(1000000)"),
        ((255, 255, 255), 25755255, "Descriptor(25755255)"),
    ],
)
def test_fields_fxy_and_repr(fxy, code, text):
    d = Descriptor(*fxy)
    assert (d.f, d.x, d.y) == fxy
    assert d.fxy == code
    assert repr(d) == text
    assert all(type(v) is int for v in (d.f, d.x, d.y, d.fxy))


def test_keyword_arguments():
    d = Descriptor(3, y=11, x=1)
    assert (d.f, d.x, d.y) == (3, 1, 11)
    assert Descriptor(f=0, x=2, y=1).fxy == 2001


@pytest.mark.parametrize(
    ("code", "fxy"),
    [
        (301011, (3, 1, 11)),
        (0, (0, 0, 0)),
        (1256, (0, 1, 0)),
        (1999, (0, 1, 231)),
        (363255, (3, 63, 255)),
        (25755255, (1, 55, 255)),  # f = 257 keeps its low 8 bits
        (4294967295, (42949 % 256, 67, 295 % 256)),
    ],
)
def test_from_fxy(code, fxy):
    d = Descriptor.from_fxy(code)
    assert type(d) is Descriptor
    assert (d.f, d.x, d.y) == fxy
    assert Descriptor.from_fxy(code=code).fxy == d.fxy
    assert Descriptor(0, 0, 0).from_fxy(code).fxy == d.fxy


OUT_OF_RANGE_CALLS = {
    "f=256": lambda: Descriptor(256, 0, 0),
    "x=256": lambda: Descriptor(0, 256, 0),
    "y=256": lambda: Descriptor(0, 0, 256),
    "f=-1": lambda: Descriptor(-1, 0, 0),
    "x=-1": lambda: Descriptor(0, -1, 0),
    "y=-1": lambda: Descriptor(0, 0, -1),
    "y=2**64": lambda: Descriptor(0, 0, 2**64),
    "f=-2**100": lambda: Descriptor(-(2**100), 0, 0),
    "code=-1": lambda: Descriptor.from_fxy(-1),
    "code=2**32": lambda: Descriptor.from_fxy(4294967296),
    "code=2**70": lambda: Descriptor.from_fxy(2**70),
}


@pytest.mark.parametrize("call", OUT_OF_RANGE_CALLS.values(), ids=list(OUT_OF_RANGE_CALLS))
def test_out_of_range(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert info.value.args == (OUT_OF_RANGE,)


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda: Descriptor(1.0, 0, 0), "f"),
        (lambda: Descriptor(0, "1", 0), "x"),
        (lambda: Descriptor(0, 0, None), "y"),
        (lambda: Descriptor(0, 0, y=[1]), "y"),
        (lambda: Descriptor.from_fxy("301011"), "code"),
        (lambda: Descriptor.from_fxy(301011.0), "code"),
    ],
)
def test_non_integer_arguments(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{name}': ")


def test_wrong_argument_count():
    for call in (lambda: Descriptor(1, 2), lambda: Descriptor(1, 2, 3, 4), lambda: Descriptor.from_fxy(),
                 lambda: Descriptor(1, 2, 3, z=4)):
        with pytest.raises(TypeError):
            call()


def test_identity_semantics():
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a == a and a != b
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_read_only():
    d = Descriptor(0, 1, 1)
    for name in ("f", "x", "y", "fxy"):
        with pytest.raises(AttributeError):
            setattr(d, name, 2)
    with pytest.raises(AttributeError):
        d.z = 1
    assert d.fxy == 1001


def test_signatures():
    assert Descriptor.__text_signature__ == "(f, x, y)"
    assert str(inspect.signature(Descriptor)) == "(f, x, y)"
    assert Descriptor.from_fxy.__text_signature__ == "(code)"
    assert str(inspect.signature(Descriptor.from_fxy)) == "(code)"
