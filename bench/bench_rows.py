"""Observation rows and the flat layout against pdbufr, in one run.

    python bench/bench_rows.py [--messages N] [--repeat R] [--corpus DIR]

Cases, on the whole files unless --messages keeps the first N messages of each:
- synop: perf_synop, station, position and temperature of every report (pdbufr's columns);
- temp: temp, profiles by level (station, position, pressure, temperature, dew point, wind);
- flat: perf_synop in the flat layout (pdbufr flat=True).
For each: pdbufr once (it is slow), then norvane best of R: the whole call (read_table with the
layout's arguments, which decodes a window of messages at a time) and, apart, the layout made
from an already decoded long table. Prints the times and the ratios pdbufr / norvane for both.
Then memory, against the size of the resulting frame: tracemalloc's peak of the layout alone,
and how far the resident set grows while reading perf_synop into observation rows (the whole
call, compiled decoding and the mapped file included, which tracemalloc does not see). Times
are CPU time of the process.
"""

from __future__ import annotations

import argparse
import gc
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import norvane
from norvane.layouts import arrange
from norvane.table import read_table

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
SYNOP_COLUMNS = ["WMO_station_id", "latitude", "longitude", "airTemperatureAt2M"]
TEMP_COLUMNS = ["WMO_station_id", "latitude", "longitude", "pressure", "airTemperature", "dewpointTemperature",
                "windDirection", "windSpeed"]
CASES = [
    ("synop", "perf_synop.ed4.bufr", dict(columns=SYNOP_COLUMNS)),
    ("temp", "temp.ed4.bufr", dict(columns=TEMP_COLUMNS)),
    ("flat", "perf_synop.ed4.bufr", dict(layout="flat")),
]


# Run in a fresh interpreter: in this one, memory freed by the earlier cases would be reused
# and hide the peak.
_PEAK = """
import sys
from norvane.table import read_table
import pandas, pyarrow  # loaded before the baseline, as a user's session has them

def rss(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))

before = rss("VmRSS:")
frame = read_table(sys.argv[1], columns=sys.argv[2].split(","))
print(rss("VmHWM:") - before, int(frame.memory_usage(deep=True).sum()))
"""


def peak_rss_growth(path: Path, columns: list[str]) -> tuple[int, int]:
    """How far the resident set of a fresh interpreter grows while it reads ``path`` into
    observation rows, and the size of the frame (Linux)."""
    out = subprocess.run([sys.executable, "-c", _PEAK, str(path), ",".join(columns)], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def first_messages(path: Path, count: int | None, scratch: Path) -> Path:
    if count is None:
        return path
    data = path.read_bytes()
    last = list(norvane.read(data))[:count][-1]
    out = scratch / path.name
    out.write_bytes(data[:last.offset + last.length])
    return out


def cpu(function, *args, **kwargs):
    gc.collect()
    start = time.process_time()
    result = function(*args, **kwargs)
    return time.process_time() - start, result


def pdbufr_call(path: Path, kwargs: dict) -> object:
    import pdbufr

    if kwargs.get("layout") == "flat":
        return pdbufr.read_bufr(str(path), flat=True)
    return pdbufr.read_bufr(str(path), columns=kwargs["columns"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, help="keep the first N messages of each file")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--corpus", type=Path, default=SHARED / "corpus")
    parser.add_argument("--skip-pdbufr", action="store_true", help="time norvane only")
    args = parser.parse_args()
    import warnings

    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as scratch:
        print(f"{'case':<6} {'rows':>8} {'pdbufr s':>9} {'norvane s':>10} {'layout s':>9} {'x whole':>8} {'x layout':>9}")
        for name, file, kwargs in CASES:
            path = first_messages(args.corpus / "bufr/derived_ed4" / file, args.messages, Path(scratch))
            theirs = None if args.skip_pdbufr else cpu(pdbufr_call, path, kwargs)
            whole = layout_time = float("inf")
            for _ in range(args.repeat):
                seconds, frame = cpu(read_table, path, **kwargs)
                whole = min(whole, seconds)
                table = read_table(path)
                seconds, _ = cpu(arrange, table, **kwargs)
                layout_time = min(layout_time, seconds)
                del table
            if theirs is not None:
                assert len(theirs[1]) == len(frame), (name, len(theirs[1]), len(frame))
                ratios = f"{theirs[0] / whole:>8.1f} {theirs[0] / layout_time:>9.1f}"
                their_time = f"{theirs[0]:>9.2f}"
            else:
                ratios, their_time = f"{'-':>8} {'-':>9}", f"{'-':>9}"
            print(f"{name:<6} {len(frame):>8} {their_time} {whole:>10.3f} {layout_time:>9.4f} {ratios}", flush=True)
        synop = first_messages(args.corpus / "bufr/derived_ed4/perf_synop.ed4.bufr", args.messages, Path(scratch))
        table = read_table(synop)
        gc.collect()
        tracemalloc.start()
        frame = arrange(table, columns=SYNOP_COLUMNS)
        layout_peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        del table
        gc.collect()
        whole_peak, size = peak_rss_growth(synop, SYNOP_COLUMNS)
        print(f"memory, perf_synop rows: frame {size / 1e6:.2f} MB; tracemalloc peak of the layout alone "
              f"{layout_peak / 1e6:.1f} MB ({layout_peak / size:.1f}x the frame); peak RSS growth of the whole "
              f"call in a fresh interpreter, compiled long table included, {whole_peak / 1e6:.1f} MB "
              f"({whole_peak / size:.1f}x)")


if __name__ == "__main__":
    main()
