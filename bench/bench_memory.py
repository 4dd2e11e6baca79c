"""How fast this machine writes fresh memory, alone and two at a time: the floor under any
benchmark that fills new columns, and the scaling a second core can give them.

    python bench/bench_memory.py [--mb N]

Each worker writes float64 arrays of N MB that it has just allocated (so page faults are
included, as they are for a new long table), ten times; best of three rounds. Prints GB/s for
one and two processes, and for one and two threads of one process (numpy releases the
interpreter lock while it writes), and the scaling of each.
"""

from __future__ import annotations

import argparse
import multiprocessing
import threading
import time

import numpy as np

ROUNDS = 10


def fill(megabytes: int) -> None:
    source = np.ones(megabytes * (1 << 20) // 8)
    for _ in range(ROUNDS):
        target = np.empty_like(source)
        np.multiply(source, 2.0, out=target)
        del target


def gigabytes_per_second(workers: int, megabytes: int, kind: type) -> float:
    best = 0.0
    for _ in range(3):
        started = [kind(target=fill, args=(megabytes,)) for _ in range(workers)]
        start = time.perf_counter()
        for worker in started:
            worker.start()
        for worker in started:
            worker.join()
        best = max(best, workers * ROUNDS * megabytes / 1024 / (time.perf_counter() - start))
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=200)
    args = parser.parse_args()
    for label, kind in (("processes", multiprocessing.Process), ("threads of one process", threading.Thread)):
        one, two = (gigabytes_per_second(n, args.mb, kind) for n in (1, 2))
        print(f"fresh memory written by {label}: 1 {one:.1f} GB/s, 2 {two:.1f} GB/s, scaling {two / one:.2f}x")


if __name__ == "__main__":
    main()
