"""The long table and the message matrices against ecCodes' Python bindings, in one run.

    python bench/bench_table.py [--repeat N]

For each file: values per second of
- ``norvane.read_table(path)`` on one thread (CPU time, best of N),
- ecCodes: every message unpacked and its ``numericValues`` taken as a numpy array,
- ``Message.to_numpy()`` on every message (compressed files only),
and their ratios; the bytes the table holds per value; and, on perf_synop, the wall time of
``read_table(threads=2)`` against ``threads=1``. The files are the derived edition-4 corpus
files and a generated compressed message of about one bit per value (2,000 subsets of 600
one-bit data present indicators, plus position and temperature). Times are CPU time except
for the thread comparison, where only wall time can show the gain.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # numpy's idle BLAS threads would count as CPU time

import argparse
import gc
import random
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import norvane

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
DERIVED = SHARED / "corpus/bufr/derived_ed4"
FILES = ["perf_synop", "temp", "ias1_240", "cmwn_87", "csrh_189"]


def one_bit_message(subsets: int = 2000, flags: int = 600, seed: int = 1) -> bytes:
    """A compressed message whose values cost about one bit each."""
    sys.path.insert(0, str(ROOT / "tests/py"))
    from bufr_writer import build_message, compressed_fields

    rng = random.Random(seed)
    columns = [
        ("numeric", 25, [rng.randrange(9_000_000, 9_100_000) for _ in range(subsets)]),  # 005001 latitude
        ("numeric", 26, [rng.randrange(18_000_000, 18_100_000) for _ in range(subsets)]),  # 006001 longitude
        ("numeric", 16, [rng.randrange(25_000, 30_000) for _ in range(subsets)]),  # 012101 temperature
        ("numeric", 16, [flags] * subsets),  # 031002 the replication factor
    ] + [("numeric", 1, [rng.randrange(2) for _ in range(subsets)]) for _ in range(flags)]
    descriptors = [5001, 6001, 12101, 101000, 31002, 31031]
    return build_message(descriptors, compressed_fields(columns), subsets=subsets, compressed=True,
                         master_version=39, centre=98, year=2026, month=12, day=6)


def best_of(function: Callable[[], object], repeat: int, clock: Callable[[], float] = time.process_time) -> float:
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = clock()
        function()
        best = min(best, clock() - start)
    return best


def eccodes_values(path: Path) -> int:
    import eccodes

    count = 0
    with open(path, "rb") as file:
        while (handle := eccodes.codes_bufr_new_from_file(file)) is not None:
            try:
                eccodes.codes_set(handle, "unpack", 1)
                count += len(eccodes.codes_get_array(handle, "numericValues"))
            finally:
                eccodes.codes_release(handle)
    return count


def numpy_values(path: Path) -> int:
    count = 0
    with norvane.read(path) as reader:
        for message in reader:
            count += message.to_numpy().values.size
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    try:
        import eccodes  # noqa: F401
    except ImportError:
        sys.exit("this benchmark compares with ecCodes: pip install eccodes")

    with tempfile.TemporaryDirectory() as scratch:
        generated = Path(scratch) / "one_bit.bufr"
        generated.write_bytes(one_bit_message())
        paths = [(name, DERIVED / f"{name}.ed4.bufr") for name in FILES] + [("one-bit (generated)", generated)]
        print(f"{'file':20} {'values':>10} {'table M/s':>10} {'ecCodes M/s':>12} {'ratio':>7} "
              f"{'to_numpy M/s':>13} {'ratio':>7} {'bytes/value':>12}")
        for name, path in paths:
            table = norvane.read_table(path)
            values = table.num_rows
            per_value = table.nbytes / max(values, 1)
            del table
            table_time = best_of(lambda: norvane.read_table(path), args.repeat)
            eccodes_count = eccodes_values(path)
            eccodes_time = best_of(lambda: eccodes_values(path), max(1, args.repeat - 1))
            table_rate = values / table_time / 1e6
            eccodes_rate = eccodes_count / eccodes_time / 1e6
            line = (f"{name:20} {values:>10,} {table_rate:>10.1f} {eccodes_rate:>12.1f} "
                    f"{table_rate / eccodes_rate:>6.1f}x")
            compressed = all(m.compressed for m in norvane.read(path))
            if compressed:
                matrix_count = numpy_values(path)
                matrix_rate = matrix_count / best_of(lambda: numpy_values(path), args.repeat) / 1e6
                line += f" {matrix_rate:>13.1f} {matrix_rate / eccodes_rate:>6.1f}x"
            else:
                line += f" {'-':>13} {'-':>7}"
            print(line + f" {per_value:>12.1f}")

    synop = DERIVED / "perf_synop.ed4.bufr"
    one = best_of(lambda: norvane.read_table(synop, threads=1), args.repeat + 2, time.perf_counter)
    two = best_of(lambda: norvane.read_table(synop, threads=2), args.repeat + 2, time.perf_counter)
    print(f"\nperf_synop wall time: threads=1 {one * 1e3:.0f} ms, threads=2 {two * 1e3:.0f} ms, "
          f"speed-up {one / two:.2f}x")


if __name__ == "__main__":
    main()
