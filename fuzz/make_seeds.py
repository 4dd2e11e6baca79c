"""Writes the seed corpus of each harness under corpus/<harness>/: small crafted inputs, one
feature each, named after it. Run from anywhere: python fuzz/make_seeds.py

The decode seeds use element widths of ecCodes' WMO table version 39 (and the local table of
centre 98); the findings copied into corpus/decode_eccodes/ are kept, never rewritten.
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "py"))

from bufr_writer import assemble, build_message, pack_bits, section1, section3, section4  # noqa: E402


def text(s: str, octets: int) -> bytes:
    return s.encode().ljust(octets)


def compressed(values: list[int], width: int, increment_width: int) -> list[tuple[int, int]]:
    """One numeric block: the smallest value as R0, then each value's increment."""
    base = min(values)
    return [(base, width), (increment_width, 6)] + [(v - base, increment_width) for v in values]


# 001001 block (7 bits), 001002 station (10), 012101 temperature (16, scale 2), 001015 name (160).
STATION = [(6, 7), (123, 10)]
DECODE = {
    "uncompressed_two_subsets": build_message([301001, 12101], STATION + [(29315, 16)] + [(7, 7), (1, 10), (27000, 16)],
                                              subsets=2, master_version=39),
    "compressed_three_subsets": build_message(
        [301001, 12101], compressed([6, 6, 6], 7, 0) + compressed([100, 101, 103], 10, 2)
        + compressed([29315, 29000, 65535], 16, 16), subsets=3, compressed=True, master_version=39),
    "delayed_replication": build_message([101000, 31001, 12101], [(3, 8), (29000, 16), (29100, 16), (65535, 16)],
                                         master_version=39),
    "width_and_scale_operators": build_message([201130, 202129, 12101, 201000, 202000, 12101],
                                               [(1000, 18), (29315, 16)], master_version=39),
    "associated_field": build_message([204008, 31021, 12101, 204000, 12103], [(1, 6), (200, 8), (29315, 16),
                                                                               (28000, 16)], master_version=39),
    "station_name_text": build_message([1015], [(text("TEST STATION", 20), 160)], master_version=39),
    "operator_205_text": build_message([205003, 1001], [(b"ABC", 24), (6, 7)], master_version=39),
    "compressed_text": build_message([1015], [(bytes(20), 160), (20, 6), (text("ONE", 20), 160),
                                              (text("TWO", 20), 160)], subsets=2, compressed=True, master_version=39),
    "new_reference_values": build_message([203014, 12101, 203255, 12101, 203000, 12101],
                                          [(100, 14), (5, 16), (29315, 16)], master_version=39),
    "quality_bitmap": build_message([12101, 12103, 222000, 101002, 31031, 1031, 1032, 101002, 33007],
                                    [(29315, 16), (28000, 16), (0, 1), (0, 1), (98, 16), (1, 8), (70, 7), (80, 7)],
                                    master_version=39),
    "width_override_206": build_message([206008, 1001, 1002], [(77, 8), (5, 10)], master_version=39),
    "local_tables_centre_98": build_message([1192, 1001], [(3, 8), (6, 7)], master_version=39, local_version=1,
                                            centre=98),
}

MESSAGE = {
    "one_message": build_message([1001], b"\x01"),
    "local_section_compressed": build_message([301011, 1002], bytes(8), section2=b"local", compressed=True,
                                              subsets=3),
    "junk_between_messages": b"GRIB" + build_message([1001]) + b"xxBUF" + build_message([301001], bytes(3)),
    "section3_padding_octet": assemble(section1(), section3([1001], extra=b"\x00"), section4(b"\x07")),
    "long_section1": build_message([1001], section1_extra=bytes(9)),
    "declared_length_zero": build_message([1001]) + b"BUFR\x00\x00\x00\x04" + build_message([1002]),
}

# Element table, sequence.def, a code table (code on its first line), then the message.
ELEMENTS = "\n".join([
    "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width",
    "001001|block|long|BLOCK|Numeric|0|0|7|Numeric|0|3",
    "001003|region|table|REGION|CODE TABLE|0|0|3|CODE TABLE|0|1",
    "012101|t|double|T|K|2|-1000|16|C|2|5",
    "001015|name|string|NAME|CCITT IA5|0|0|32|Character|0|4",
    "031001|factor|long|FACTOR|Numeric|0|0|8|Numeric|0|3",
])
SEQUENCES = '"301001" = [ 001001, 001003 ]\n"301002" = [ 101000, 031001, 012101 ]\n'
CODES = "1003\n0 0 ANTARCTICA\n1 1 REGION I\n"


def with_tables(message: bytes, elements: str = ELEMENTS, sequences: str = SEQUENCES, codes: str = CODES) -> bytes:
    return "\n%%\n".join([elements, sequences, codes]).encode() + b"\n%%\n" + message


DECODE_TABLES = {
    "sequence_code_table_text": with_tables(build_message([301001, 1015], [(6, 7), (1, 3), (b"ABCD", 32)])),
    "replication_compressed": with_tables(build_message(
        [301002], compressed([2, 2], 8, 0) + compressed([1, 5], 16, 3) + compressed([7, 7], 16, 0), subsets=2,
        compressed=True)),
    "negative_reference": with_tables(build_message([12101, 1001], [(0xFFFF, 16), (127, 7)])),
}

TABLE_TEXT = {
    "element_table": ELEMENTS.encode() + b"\n",
    "element_table_quoted": b'"001001"|a|long|"x|""y"""|unit|-1|-5|12|x|y|z\r\n# comment\n',
    "sequence_def": b'"301001" = [ 001001,\n  001002 ]\n# ]\n"301002" = [ , 1 ,, 2, ]',
    "code_table": b"# c\n0 0 ANTARCTICA\n1 1 REGION   I\n07 7 seven\n",
    "wmo_table_b": b'No,Class,FXY,Name,Unit,Scale,Reference,Width,CREX\n0,c,012101,"T, ""air""",K,2,0,16,x\n',
    "wmo_table_d": b"Cat,Title,FXY1,Title,Sub,FXY2,Name\n0,t,301001,,,001001,n\n0,t,301001,,,001002,n\n",
}


def descriptors(*codes: int) -> bytes:
    return b"".join(bytes([(c // 100000) << 6 | c // 1000 % 100, c % 1000]) for c in codes)


def sequence(code: int, *members: int) -> bytes:
    return bytes([len(members)]) + descriptors(code, *members)


EXPAND = {
    "nested_sequences": bytes([2]) + sequence(301001, 1001, 1002) + sequence(301002, 301001, 12101)
    + descriptors(301002, 1003),
    "replications": bytes([1]) + sequence(301001, 1001, 1002) + descriptors(102003, 301001, 12101, 101000, 31001,
                                                                           1001),
    "operators": bytes([1]) + sequence(301100, 204004, 1001) + descriptors(301100, 1002, 204000, 201130, 222000,
                                                                           236000, 12101),
    "self_reference": bytes([1]) + sequence(330000, 1001, 330000) + descriptors(330000),
}


def main() -> None:
    for harness, seeds in {"message": MESSAGE, "decode_eccodes": DECODE, "decode_tables": DECODE_TABLES,
                           "table_text": TABLE_TEXT, "expand": EXPAND}.items():
        directory = HERE / "corpus" / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / f"{name}.bin").write_bytes(data)


if __name__ == "__main__":
    main()
