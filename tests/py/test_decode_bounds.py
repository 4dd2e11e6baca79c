"""Hostile data sections: a few bits that describe endless or enormous work fail with the work
limit, which counts descriptor steps and values against the bits of section 4 actually read.
Octets that are never read earn nothing: most messages here carry 8 KB of padding.

All cases decode in one child process under an address-space limit, so a broken bound fails the
tests instead of exhausting the machine.
"""

import json
import os
import re
import subprocess
import sys

import pytest

from bufr_writer import build_message, write_table_dir

ELEMENTS = [
    (1001, "BLOCK", "u", 0, 0, 7), (1002, "STATION", "u", 0, 0, 10), (12101, "TEMPERATURE", "K", 2, 0, 16),
    (31002, "FACTOR", "u", 0, 0, 16), (31031, "PRESENT", "u", 0, 0, 1), (31200, "HUGE FACTOR", "u", 0, 0, 64),
]
# 301000 reads nothing; 301k doubles the work of 301(k-1), so 301060 is 2^60 steps.
SEQUENCES = {301000: [203000]} | {301000 + k: [301000 + k - 1] * 2 for k in range(1, 61)}
HUGE = (2**64 - 1, 64)  # a class 31 factor: never missing, 18446744073709551615 passes
FACTOR = (0xFFFF, 16)  # 031002 = 65535
PAD = [(0, 8)] * 8192  # octets never read
PACKED = {"subsets": 65535, "compressed": True}


def steps(bits):
    return ("descriptor steps", bits)


CASES = {  # id: (descriptors, fields, message options, outcome)
    # Outcomes: (the limit reached, the bits read by then), [values, distinct text objects], or an error text.
    "2^64 passes over an operator that does nothing": ([101000, 31200, 203000], [HUGE, *PAD], {}, steps(64)),
    "2^64 passes over a marker": ([101000, 31200, 222000], [HUGE, *PAD], {}, steps(64)),
    "2^64 passes over a zero-width element": ([102000, 31200, 201001, 1001], [HUGE, *PAD], {}, steps(64)),
    "255^63 passes of nested replications": ([100255 + 1000 * x for x in range(63, 0, -1)] + [203000], PAD, {},
                                             steps(0)),
    "a Table D tree of 2^60 leaves": ([301060], PAD, {}, steps(0)),
    "255^3 markers": ([103255, 102255, 101255, 222000], PAD, {}, steps(0)),
    "65535 x 255 empty character data": ([102000, 31002, 101255, 205000], [FACTOR, *PAD], {}, steps(16)),
    # 031031 (numeric here, so that 2 01 001 narrows it) reads no bits and its new reference
    # value 1 marks every entry absent; each 2 23 255 would have scanned the whole bitmap again.
    "a bitmap of absent entries, rewound": ([203008, 31031, 203255, 201001, 236000, 102255, 101255, 31031, 104255,
                                             103255, 102255, 237000, 223255], [(1, 8), *PAD], {}, steps(8)),
    # Each 2 03 000 ends reference values defined once for three elements.
    "2 03 000 over defined references": ([203008, 1001, 1002, 12101, 203255, 103255, 102255, 101255, 203000],
                                         [(1, 8), (2, 8), (3, 8), *PAD], {}, steps(24)),
    # Compressed: each pass appends an operator column of 65535 values.
    "65535 subsets x markers": ([101000, 31200, 222000], [HUGE, (0, 6), *PAD], PACKED, ("values", 70)),
    "65535 subsets x empty character data": ([102000, 31002, 101255, 205000], [FACTOR, (0, 6), *[(0, 6)] * 30],
                                             PACKED, ("values", None)),
    "65535 subsets x zero-width columns": ([201001, 101255, 12101], [(0, 6)] * 255, PACKED, ("values", None)),
    # Work that reads its bits runs until the data runs out; nothing is sized by the factor.
    "a huge factor over data that runs out": ([101000, 31200, 1002], [HUGE, (1, 10), (2, 10)], {},
                                              "not enough bits while reading section 4 at bit 84 for width 10 "
                                              "(88 bits available)"),
    "65535 x 255 definitions of 254-bit reference values": ([203254, 102000, 31002, 101255, 12101],
                                                             [FACTOR, *[(0, 254)] * 4], {},
                                                             "not enough bits while reading section 4 at bit 1032 "
                                                             "for width 1 (1032 bits available)"),
    # Values that cost (almost) no bits decode in full within the constant term: 500 subsets x 1000
    # missing values at 13 bits per column; a constant text shared by 65535 subsets x 5 columns.
    "500 subsets x 1000 missing columns": ([101000, 31200, 1001], [(1000, 64), (0, 6), *[(127, 7), (0, 6)] * 1000],
                                           {"subsets": 500, "compressed": True}, [500 * 1001, 0]),
    "65535 subsets x 5 constant texts": ([101005, 205255], [(b"A" * 255, 8 * 255), (0, 6)] * 5, PACKED, [5 * 65535, 5]),
}

CHILD = """
import json, resource, sys
if not {sanitized}:
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
from norvane import _norvane
for path in sys.argv[1:]:
    try:
        values = _norvane.decode_values(open(path, "rb").read(), {tables!r})
        texts = len({{id(v.raw_text) for v in values if v.raw_text is not None}})
        print(json.dumps([len(values), texts]), flush=True)
    except (ValueError, MemoryError) as error:
        print(json.dumps(f"{{type(error).__name__}} {{error}}"), flush=True)
"""


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """The outcome of every case, decoded in one child process."""
    root = tmp_path_factory.mktemp("bounds")
    tables = write_table_dir(root / "tables", ELEMENTS, SEQUENCES)
    paths = []
    for n, (descriptors, fields, options, _) in enumerate(CASES.values()):
        paths.append(root / f"{n}.bufr")
        paths[-1].write_bytes(build_message(descriptors, fields, **options))
    script = CHILD.format(sanitized="asan" in os.environ.get("LD_PRELOAD", ""), tables=str(tables))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", script, *map(str, paths)], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    return dict(zip(CASES, map(json.loads, done.stdout.splitlines())))


LIMIT = re.compile(r"ValueError csv/table parse error: data section decode exceeded its limit of \d+ "
                   r"(descriptor steps|values) for (\d+) bits of section 4 read")


@pytest.mark.parametrize("case", CASES)
def test_bounded(outcomes, case):
    expected, outcome = CASES[case][3], outcomes[case]
    if isinstance(expected, list):
        assert outcome == expected  # one str serves all records of one text
    elif isinstance(expected, str):
        assert outcome == "ValueError csv/table parse error: " + expected
    else:
        limit, bits = LIMIT.fullmatch(outcome).groups()
        assert (limit, int(bits) if expected[1] is not None else None) == expected
