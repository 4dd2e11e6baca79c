"""parse_all_bytes / parse_all_file: finding messages by marker and declared length."""

import json
import subprocess
import sys

import pytest

from bufr_writer import assemble, build_message, section1, section3
from norvane import _norvane

JUNK = bytes(range(256)) + b"BUF7777"  # no "BUFR" anywhere


def message(second, descriptors=(1001,), **kw):
    return build_message(list(descriptors), bytes(second % 7), second=second, **kw)


def seconds(messages):
    return [m.typical_second for m in messages]


@pytest.mark.parametrize("data", [b"", b"B", b"BUF", b"UFR", JUNK, b"7777" * 20, bytes(1000)],
                         ids=["empty", "one", "three", "no-marker-3", "junk", "terminators", "zeros"])
def test_no_message_gives_an_empty_list(data):
    assert _norvane.parse_all_bytes(data) == []


def test_messages_among_junk():
    m1, m2, m3 = message(1), message(2, [301011, 1002]), message(3, [])
    data = JUNK + m1 + m2 + JUNK[:100] + m3 + JUNK
    found = _norvane.parse_all_bytes(data)
    assert seconds(found) == [1, 2, 3]
    assert [m.unexpanded_descriptors for m in found] == [[1001], [301011, 1002], []]
    assert [m.total_length for m in found] == [len(m1), len(m2), len(m3)]


def test_many_messages_in_order():
    data = b"".join(message(i % 60, section2=b"x" * (i % 5)) for i in range(600))
    assert seconds(_norvane.parse_all_bytes(data)) == [i % 60 for i in range(600)]


def test_marker_inside_a_message_is_not_a_message():
    inner = b"BUFR\x00\x00\x08\x04" + b"BUFR\x00\x00\x00\x04"
    found = _norvane.parse_all_bytes(build_message([1001], inner) + message(9))
    assert seconds(found) == [5, 9]


def test_the_next_search_starts_at_the_declared_end():
    second = message(2)
    first = build_message([1001], bytes(1), second=1, total_length=len(message(1)) + len(second))
    found = _norvane.parse_all_bytes(first[: len(message(1))] + second)
    assert seconds(found) == [1]
    assert found[0].total_length == len(message(1)) + len(second)


M = message(1)
ED3 = build_message([1001], edition=3)
TOO_SHORT = "message is too short to be BUFR"

SPLIT_ERRORS = [
    ("marker alone", b"BUFR", TOO_SHORT),
    ("marker at the end", M + b"BUFR", TOO_SHORT),
    ("marker and 3 octets at the end", M + M + b"BUFR\x00\x00\x00", TOO_SHORT),
    ("declared length past the end", M + b"BUFR\x00\x00\x10\x04", f"section 0 at offset {len(M)} is truncated"),
    ("message one octet short", JUNK[:5] + M[:-1], "section 0 at offset 5 is truncated"),
    ("declared length 5", b"BUFR\x00\x00\x05\x04xyz", TOO_SHORT),
    ("declared length 8", M + b"BUFR\x00\x00\x08\x04", "section 1 at offset 8 is truncated"),
    ("offsets relative to the message",
     JUNK[:13] + assemble(section1(), section3([1001]), terminator=b""), "section 4 at offset 39 is truncated"),
    ("no terminator", M + JUNK + build_message([1001], terminator=b"7778"), "section 5 terminator is not 7777"),
    ("edition 3 after edition 4", M + build_message([1001], edition=3),
     "unsupported BUFR edition 3; only edition 4 is implemented"),
    ("edition 3 before a truncation", ED3 + b"BUFR\xff\xff\xff\x04", f"section 0 at offset {len(ED3)} is truncated"),
]


@pytest.mark.parametrize(("data", "text"), [c[1:] for c in SPLIT_ERRORS], ids=[c[0] for c in SPLIT_ERRORS])
def test_split_error(data, text):
    with pytest.raises(ValueError) as info:
        _norvane.parse_all_bytes(data)
    assert info.value.args == (text,)


ZERO_LENGTH = {
    "alone": b"BUFR\x00\x00\x00\x04",
    "after a message": M + b"BUFR\x00\x00\x00\x04" + M,
    "after junk": JUNK[:7] + b"BUFR\x00\x00\x00\x04\x00\x00",
}


def test_declared_length_zero_fails_at_its_marker():
    # In a child process: a scan that never leaves the marker must fail here, not hang the run.
    script = f"""
import json
from norvane import _norvane
out = {{}}
for name, data in {ZERO_LENGTH!r}.items():
    try:
        out[name] = ["ok", len(_norvane.parse_all_bytes(data))]
    except ValueError as exc:
        out[name] = ["ValueError", str(exc)]
print(json.dumps(out))
"""
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == {
        "alone": ["ValueError", "section 0 at offset 0 is truncated"],
        "after a message": ["ValueError", f"section 0 at offset {len(M)} is truncated"],
        "after junk": ["ValueError", "section 0 at offset 7 is truncated"],
    }


@pytest.mark.parametrize(
    ("content", "count"),
    [(b"", 0), (JUNK, 0), (M + b"\n", 1), (b"\r\n" + M + M + b"\n", 2)],
    ids=["empty", "junk", "newline", "two"],
)
def test_parse_all_file(tmp_path, content, count):
    path = tmp_path / "messages.bufr"
    path.write_bytes(content)
    found = _norvane.parse_all_file(str(path))
    assert len(found) == count
    assert [repr(m) for m in found] == [repr(m) for m in _norvane.parse_all_bytes(content)]


def test_parse_all_file_fails_like_parse_all_bytes(tmp_path):
    path = tmp_path / "bad.bufr"
    path.write_bytes(M + b"BUFR")
    with pytest.raises(ValueError) as info:
        _norvane.parse_all_file(str(path))
    assert info.value.args == (TOO_SHORT,)
