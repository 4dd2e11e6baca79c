"""What norvane.read() costs over the bare decode call, in one run.

    python bench/bench_read.py [--repeat N] [FILE ...]

For each file (edition 4), three loops over every message, best of N rounds, interleaved:
- baseline: `decode_values_with_tables` on each message's bytes, split beforehand, with the
  tables loaded beforehand;
- `read(path)` + `decode()` on every message: the file mapped, tables chosen from section 1
  and loaded once per key, all inside the timed loop;
- the same on the file rewritten as edition 3 (sections 2 to 5 unchanged, section 1 in the
  edition 3 layout, written to a temporary directory).
Prints values per second, each read() loop as a share of the baseline, and what the one table
load of a read() loop costs (already inside its time). Times are the process's CPU time, best of
the rounds: on a shared machine, wall time mostly measures the neighbours.
"""

from __future__ import annotations

import argparse
import gc
import tempfile
import time
from pathlib import Path

import norvane
from norvane import _norvane, _reader

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
DEFAULT_FILES = [SHARED / "corpus/bufr/derived_ed4/perf_synop.ed4.bufr"]


def as_edition3(message: bytes) -> bytes:
    """The edition 4 message with its sections 0 and 1 in the edition 3 layout."""
    s1 = message[8:8 + int.from_bytes(message[8:11], "big")]
    year = int.from_bytes(s1[15:17], "big")
    section1 = bytes([0, 0, 18, s1[3], s1[7], s1[5], s1[8], s1[9], s1[10], s1[12], s1[13], s1[14], year % 100,
                      *s1[17:21], 0])
    rest = message[8 + len(s1):]
    return b"BUFR" + (8 + len(section1) + len(rest)).to_bytes(3, "big") + b"\x03" + section1 + rest


def baseline(messages: list[bytes], tables: _norvane.TableSet) -> int:
    total = 0
    for raw in messages:
        total += len(_norvane.decode_values_with_tables(raw, tables))
    return total


def read_and_decode(path: Path, root: str) -> int:
    total = 0
    for message in norvane.read(path, definitions=root):
        total += len(message.decode())
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path, default=DEFAULT_FILES)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--definitions", help="ecCodes definitions root")
    args = parser.parse_args()
    root = norvane.find_definitions_root(args.definitions)

    print(f"{'file':<28} {'values':>9} {'baseline v/s':>14} {'read ed4 v/s':>14} {'share':>6} "
          f"{'read ed3 v/s':>14} {'share':>6} {'load ms':>8}")
    with tempfile.TemporaryDirectory() as scratch:
        for path in args.files:
            messages = list(norvane.iter_message_bytes(path.read_bytes()))
            edition3 = Path(scratch) / f"{path.stem}.ed3.bufr"
            edition3.write_bytes(b"".join(as_edition3(m) for m in messages))
            tables = _norvane.TableSet.from_definitions(root, _norvane.parse_bytes(messages[0]))
            first = next(iter(norvane.read(path)))
            key = (first.master_table, first.master_table_version, first.local_table_version, first.centre,
                   first.subcentre or 0)
            runs = {"base": lambda: baseline(messages, tables), "ed4": lambda: read_and_decode(path, root),
                    "ed3": lambda: read_and_decode(edition3, root), "load": lambda: _reader.load_tables(root, *key)}
            best = dict.fromkeys(runs, float("inf"))
            counts = {}
            for _ in range(args.repeat):
                for name, run in runs.items():
                    gc.collect()
                    start = time.process_time()
                    counts[name] = run()
                    best[name] = min(best[name], time.process_time() - start)
            load = best.pop("load")
            del counts["load"]
            if len(set(counts.values())) != 1:
                raise SystemExit(f"{path.name}: the loops decoded different value counts {counts}")
            rate = {name: counts[name] / best[name] for name in best}
            print(f"{path.name:<28} {counts['base']:>9} {rate['base']:>14,.0f} {rate['ed4']:>14,.0f} "
                  f"{rate['ed4'] / rate['base']:>6.0%} {rate['ed3']:>14,.0f} {rate['ed3'] / rate['base']:>6.0%} "
                  f"{load * 1000:>8.1f}")


if __name__ == "__main__":
    main()
