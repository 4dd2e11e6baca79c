"""Loading an ecCodes table directory against the floor of merely reading its files.

TableSet.from_eccodes runs on every decode_values call, so it should cost little more than
reading element.table, sequence.def and every codetables/*.table. Two floors are timed in
the same run: Python's open().read() of the bytes, and the leaner os.open/os.read/os.close.
Each measurement is the best of several rounds of N loads, interleaved to share the noise.

    python bench/bench_tables.py [table_dir] [-n N] [-r ROUNDS]
"""

import argparse
import os
import time

from norvane import TableSet

DEFAULT_DIR = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/39"


def table_files(table_dir):
    files = [os.path.join(table_dir, "element.table"), os.path.join(table_dir, "sequence.def")]
    code_tables = os.path.join(table_dir, "codetables")
    if os.path.isdir(code_tables):
        files += [os.path.join(code_tables, name) for name in os.listdir(code_tables) if name.endswith(".table")]
    return files


def read_with_open(table_dir):
    for path in table_files(table_dir):  # listing is part of the floor: the loader lists too
        with open(path, "rb") as f:
            f.read()


def read_with_os(table_dir):
    for path in table_files(table_dir):
        fd = os.open(path, os.O_RDONLY)
        try:
            size = os.fstat(fd).st_size
            while os.read(fd, size + 1):
                pass
        finally:
            os.close(fd)


def load(table_dir):
    TableSet.from_eccodes(table_dir)


def best_of(function, table_dir, n, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(n):
            function(table_dir)
        best = min(best, (time.perf_counter() - start) / n)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("table_dir", nargs="?", default=DEFAULT_DIR)
    parser.add_argument("-n", type=int, default=50, help="loads per round")
    parser.add_argument("-r", "--rounds", type=int, default=7)
    args = parser.parse_args()

    files = table_files(args.table_dir)
    octets = sum(os.path.getsize(p) for p in files)
    tables = TableSet.from_eccodes(args.table_dir)
    print(f"{args.table_dir}: {len(files)} files, {octets} octets, {tables!r}")

    functions = {"from_eccodes": load, "open().read()": read_with_open, "os.read": read_with_os}
    times = {name: float("inf") for name in functions}
    for _ in range(args.rounds):  # interleaved rounds: each sees the same machine load
        for name, function in functions.items():
            times[name] = min(times[name], best_of(function, args.table_dir, args.n, 1))
    for name, seconds in times.items():
        print(f"{name:>14}: {seconds * 1e3:8.3f} ms per load")
    for floor in ("open().read()", "os.read"):
        print(f"ratio from_eccodes / {floor}: {times['from_eccodes'] / times[floor]:.2f}")


if __name__ == "__main__":
    main()
