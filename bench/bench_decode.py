"""Decode throughput and memory: norvane against ecCodes' Python bindings, in one run.

    python bench/bench_decode.py [--repeat N] [FILE ...]

For each file, every message is decoded with norvane (tables loaded once beforehand, then
`decode_values_with_tables` per message) and with ecCodes (`codes_bufr_new_from_file`,
unpack, `numericValues`). Prints values per second for both and their ratio, and the
memory that norvane's result objects take per decoded value (tracemalloc).
"""

from __future__ import annotations

import argparse
import gc
import time
import tracemalloc
from pathlib import Path

import norvane
from norvane import _norvane

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
DEFAULT_FILES = [
    SHARED / "corpus/bufr/derived_ed4/perf_synop.ed4.bufr",
    SHARED / "corpus/bufr/derived_ed4/temp.ed4.bufr",
    SHARED / "corpus/bufr/derived_ed4/ias1_240.ed4.bufr",
    SHARED / "corpus/bufr/derived_ed4/cmwn_87.ed4.bufr",
]


def best_of(repeat: int, run) -> tuple[float, int]:
    best = float("inf")
    count = 0
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        count = run()
        best = min(best, time.perf_counter() - start)
    return best, count


def norvane_run(messages: list[bytes], tables: _norvane.TableSet) -> int:
    total = 0
    for raw in messages:
        total += len(_norvane.decode_values_with_tables(raw, tables))
    return total


def eccodes_run(path: Path) -> int:
    import eccodes

    total = 0
    with path.open("rb") as f:
        while (handle := eccodes.codes_bufr_new_from_file(f)) is not None:
            try:
                eccodes.codes_set(handle, "unpack", 1)
                total += len(eccodes.codes_get_array(handle, "numericValues"))
            finally:
                eccodes.codes_release(handle)
    return total


def bytes_per_value(messages: list[bytes], tables: _norvane.TableSet) -> float:
    gc.collect()
    tracemalloc.start()
    kept = [_norvane.decode_values_with_tables(raw, tables) for raw in messages[:200]]
    size, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    count = sum(len(values) for values in kept)
    return size / count if count else float("nan")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path, default=DEFAULT_FILES)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--definitions", help="ecCodes definitions root")
    args = parser.parse_args()
    root = norvane.find_definitions_root(args.definitions)

    print(f"{'file':<28} {'values':>10} {'norvane v/s':>14} {'ecCodes v/s':>14} {'ratio':>7} {'B/value':>8}")
    for path in args.files:
        messages = list(norvane.iter_message_bytes(path.read_bytes()))
        tables = _norvane.TableSet.from_definitions(root, _norvane.parse_bytes(messages[0]))
        ours, count = best_of(args.repeat, lambda: norvane_run(messages, tables))
        theirs, their_count = best_of(args.repeat, lambda: eccodes_run(path))
        ours_rate = count / ours
        theirs_rate = their_count / theirs
        print(
            f"{path.name:<28} {count:>10} {ours_rate:>14,.0f} {theirs_rate:>14,.0f} "
            f"{ours_rate / theirs_rate:>6.1f}x {bytes_per_value(messages, tables):>8.1f}"
        )


if __name__ == "__main__":
    main()
