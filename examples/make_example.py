"""Writes examples/synop.bufr: two SYNOP-like subsets coded with WMO master table version 35.

    python examples/make_example.py

The message is small on purpose (it ships in the repository); it uses the tests' writer.
"""

from pathlib import Path
import sys

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "py"))
from bufr_writer import build_message  # noqa: E402

DESCRIPTORS = [301001, 1015, 301011, 301012, 301021, 10004, 12101, 20003]
MISSING_9_BITS = (1 << 9) - 1


def subset(block, station, name, lat, lon, pressure_pa, temperature_k, weather):
    return [
        (block, 7), (station, 10), (name.ljust(20).encode("ascii"), 160),
        (2026, 12), (12, 4), (6, 6), (6, 5), (0, 6),
        (round((lat + 90) * 1e5), 25), (round((lon + 180) * 1e5), 26),
        (round(pressure_pa / 10), 14), (round(temperature_k * 100), 16), (weather, 9),
    ]


def main() -> None:
    data = subset(10, 384, "BERLIN-TEMPELHOF", 52.4675, 13.4021, 101320, 275.35, 10)
    data += subset(6, 180, "KOEBENHAVN/KASTRUP", 55.614, 12.6455, 100870, 277.15, MISSING_9_BITS)
    message = build_message(DESCRIPTORS, data, subsets=2, master_version=35, centre=98,
                            year=2026, month=12, day=6, hour=6, minute=0, second=0)
    out = Path(__file__).with_name("synop.bufr")
    out.write_bytes(message)
    print(f"wrote {out} ({len(message)} octets)")


if __name__ == "__main__":
    main()
