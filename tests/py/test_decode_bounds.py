"""Hostile data sections: a few octets that describe endless or enormous work must fail fast.

Each decode runs in a child process with a time limit and an address-space limit, so a
broken bound fails the test instead of hanging the suite or exhausting the machine.
"""

import os
import subprocess
import sys

import pytest

from bufr_writer import build_message, write_table_dir

ELEMENTS = [(1001, "BLOCK", "u", 0, 0, 7), (1002, "STATION", "u", 0, 0, 10), (31200, "HUGE FACTOR", "u", 0, 0, 64)]
# 301000 reads nothing; 301k doubles the work of 301(k-1), so 301060 is 2^60 steps.
SEQUENCES = {301000: [203000]} | {301000 + k: [301000 + k - 1] * 2 for k in range(1, 61)}
HUGE = (2**64 - 1, 64)  # a class 31 factor: never missing, 18446744073709551615 passes


def limit(what, bits):
    return (f"ValueError csv/table parse error: data section decode exceeded its limit of "
            f"{2**20 + 16 * bits} {what} for {bits} bits of section 4")


def run_child(tmp_path, message):
    tables = write_table_dir(tmp_path / "tables", ELEMENTS, SEQUENCES)
    (tmp_path / "message.bufr").write_bytes(message)
    script = f"""
import resource
if {"asan" not in os.environ.get("LD_PRELOAD", "")}:
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
from norvane import _norvane
try:
    data = open({str(tmp_path / "message.bufr")!r}, "rb").read()
    print("decoded", len(_norvane.decode_values(data, {str(tables)!r})))
except (ValueError, MemoryError) as error:
    print(type(error).__name__, error)
"""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize(("descriptors", "fields", "options", "expected"), [
    # 2^64 - 1 passes over an operator that reads nothing and records nothing ...
    ([101000, 31200, 203000], [HUGE], {}, limit("descriptor steps", 64)),
    # ... over an operator marker: one record per pass, no bits ...
    ([101000, 31200, 222000], [HUGE], {}, limit("descriptor steps", 64)),
    # ... over a zero-width element: 2 01 001 narrows 001001 to nothing.
    ([102000, 31200, 201001, 1001], [HUGE], {}, limit("descriptor steps", 64)),
    # 255^63 passes of 63 nested fixed replications, each over all that follows it.
    ([100255 + 1000 * x for x in range(63, 0, -1)] + [203000], [], {}, limit("descriptor steps", 0)),
    ([301060], [], {}, limit("descriptor steps", 0)),  # a Table D tree of 2^60 leaves
    # Compressed: each pass appends an operator column of 65535 values.
    ([101000, 31200, 222000], [HUGE, (0, 6)], {"subsets": 65535, "compressed": True}, limit("values", 72)),
    # A huge factor over data that runs out: the read fails, nothing is sized by the factor.
    ([101000, 31200, 1002], [HUGE, (1, 10), (2, 10)], {}, "ValueError csv/table parse error: not enough bits while "
     "reading section 4 at bit 84 for width 10 (88 bits available)"),
    # 500 subsets x 1000 missing values cost 13 bits per column: within the constant term.
    ([101000, 31200, 1001], [(1000, 64), (0, 6), *[(127, 7), (0, 6)] * 1000], {"subsets": 500, "compressed": True},
     f"decoded {500 * 1001}"),
])
def test_bounded(tmp_path, descriptors, fields, options, expected):
    assert run_child(tmp_path, build_message(descriptors, fields, **options)) == expected
