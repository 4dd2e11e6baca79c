"""Writes the example messages: two SYNOP-like subsets, crafted (no real station's data).

    python examples/make_example.py

- synop.bufr: edition 4, WMO master table version 35;
- synop_ed3.bufr: the same subsets as edition 3 declares them (master version 13, year of
  century, no seconds, sections padded to even lengths), as most archived BUFR is.

The messages are small on purpose (they ship in the repository); they use the tests' writer.
"""

from pathlib import Path
import sys

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "py"))
from bufr_writer import assemble, build_message, pack_bits, section3, section4  # noqa: E402

DESCRIPTORS = [301001, 1015, 301011, 301012, 301021, 10004, 12101, 20003]
MISSING_9_BITS = (1 << 9) - 1


def subset(block, station, name, lat, lon, pressure_pa, temperature_k, weather, year):
    return [
        (block, 7), (station, 10), (name.ljust(20).encode("ascii"), 160),
        (year, 12), (12, 4), (6, 6), (6, 5), (0, 6),
        (round((lat + 90) * 1e5), 25), (round((lon + 180) * 1e5), 26),
        (round(pressure_pa / 10), 14), (round(temperature_k * 100), 16), (weather, 9),
    ]


def even(section: bytes) -> bytes:
    """An edition 3 section padded with a zero octet to an even length, the length field updated."""
    if len(section) % 2 == 0:
        return section
    return (len(section) + 1).to_bytes(3, "big") + section[3:] + b"\x00"


def edition3(data: list, subsets: int) -> bytes:
    # Section 1 of edition 3: 17 octets and one reserved octet; a one-octet centre and sub-centre,
    # no international sub-category, the year of century and no second.
    fields = [0, 0, 98, 0, 0, 0, 0, 13, 0, 24, 12, 6, 6, 0]  # master table, sub-centre, centre, update,
    section1 = (18).to_bytes(3, "big") + bytes(fields) + b"\x00"  # flags, category, local sub-category,
    return assemble(section1,                                        # versions, year 24, month ... minute
                    even(section3(DESCRIPTORS, subsets=subsets)), even(section4(pack_bits(data))), edition=3)


def main() -> None:
    data = subset(10, 384, "BERLIN-TEMPELHOF", 52.4675, 13.4021, 101320, 275.35, 10, year=2026)
    data += subset(6, 180, "KOEBENHAVN/KASTRUP", 55.614, 12.6455, 100870, 277.15, MISSING_9_BITS, year=2026)
    old = subset(10, 384, "BERLIN-TEMPELHOF", 52.4675, 13.4021, 101320, 275.35, 10, year=2024)
    old += subset(6, 180, "KOEBENHAVN/KASTRUP", 55.614, 12.6455, 100870, 277.15, MISSING_9_BITS, year=2024)
    messages = {
        "synop.bufr": build_message(DESCRIPTORS, data, subsets=2, master_version=35, centre=98,
                                    year=2026, month=12, day=6, hour=6, minute=0, second=0),
        "synop_ed3.bufr": edition3(old, subsets=2),
    }
    for name, message in messages.items():
        out = Path(__file__).with_name(name)
        out.write_bytes(message)
        print(f"wrote {out} ({len(message)} octets)")


if __name__ == "__main__":
    main()
