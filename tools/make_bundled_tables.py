"""Writes the package's bundled tables: WMO's BUFR4 CSV files turned into one ecCodes table directory.

    python tools/make_bundled_tables.py [CSV_DIR] [OUT_DIR] [ECCODES_ELEMENT_TABLE]

CSV_DIR defaults to ../shared/corpus/wmo-csv next to the repository, OUT_DIR to
python/norvane/bundled_tables, ECCODES_ELEMENT_TABLE to the element.table of ecCodes' WMO
tables version 39 in Debian's libeccodes-data. The output is what ``TableSet.from_eccodes`` reads:

- ``element.table``: Table B in ecCodes' eleven "|" columns (code, abbreviation, type, name,
  unit, scale, reference, width, CREX unit, scale, width). The abbreviation is ecCodes' key
  for the element (airTemperature for 012101), so that keys do not depend on where a reader's
  tables come from; an element newer than ecCodes' table gets a camelCase key made from its
  name ("Ice age ("A" parameter)" would give iceAgeAParameter). Names and units are WMO's own
  text, trimmed.
- ``sequence.def``: Table D, one statement per sequence, members in row order.
- ``codetables/<code>.table``: one file per code or flag table that has entries, lines
  "key figure meaning". A code table is keyed by its code figure. A flag table is keyed by the
  bit pattern the data carries, because meanings are looked up with the whole raw value: bit b
  (1 is the leftmost of the element's width w) is the pattern 2^(w-b), and "All w" (every bit
  set, the missing value) is 2^w - 1. The figure column keeps WMO's bit number for the reader.
  Ranges ("10-254 Reserved") and heading rows without a figure are left out. When a table
  lists one key twice (020105 holds two tables chosen by 020104), the later row wins, as in
  ecCodes.
- ``LICENSE.md``: WMO's license, copied unchanged; ``NOTICE.md`` and ``LICENSE-ecCodes.txt``:
  where the keys come from, and their license (Apache 2.0, Debian's copy of its text).

The output depends on its inputs only, so running this twice gives the same bytes; a
test regenerates it and compares.
"""

from __future__ import annotations

import csv
import re
import shutil
import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[1]
DEFAULT_CSV = REPOSITORY.parent / "shared" / "corpus" / "wmo-csv"
DEFAULT_OUT = REPOSITORY / "python" / "norvane" / "bundled_tables"
DEFAULT_KEYS = Path("/usr/share/eccodes/definitions/bufr/tables/0/wmo/39/element.table")
APACHE_LICENSE = Path("/usr/share/common-licenses/Apache-2.0")
NOTICE = """\
# Where the bundled tables come from

The tables are WMO's BUFR edition 4 tables (LICENSE.md), turned into ecCodes' table format by
tools/make_bundled_tables.py.

The abbreviation column of element.table holds the element keys of ecCodes (ECMWF), taken from
the element.table of its WMO tables version 39, so that a key such as airTemperature names the
same element whichever tables decode a message. ecCodes is licensed under the Apache License,
Version 2.0 (LICENSE-ecCodes.txt). Copyright 2005- ECMWF.
"""

ELEMENT_HEADER = "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"
_WORD = re.compile(r"[A-Za-z0-9]+")
_FIGURE = re.compile(r"\d+")
_ALL_BITS = re.compile(r"All (\d+)")


def read_rows(directory: Path, prefix: str) -> list[list[str]]:
    """The data rows (header dropped) of every ``<prefix>*.csv`` file, files in name order."""
    rows: list[list[str]] = []
    for path in sorted(directory.glob(prefix + "*.csv")):
        with path.open(newline="", encoding="utf-8") as f:
            rows.extend(list(csv.reader(f))[1:])
    return rows


def eccodes_keys(element_table: Path) -> dict[str, str]:
    """Code -> ecCodes' abbreviation, from an ecCodes element.table."""
    keys = {}
    for line in element_table.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            fields = line.split("|")
            keys[fields[0]] = fields[1]
    return keys


def abbreviation(name: str, code: str) -> str:
    words: list[str] = _WORD.findall(name)
    if not words:
        return f"element{code}"
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


def element_type(unit: str, scale: int) -> str:
    if unit == "CCITT IA5":
        return "string"
    if unit == "Code table" or unit.startswith("Common Code table"):
        return "table"
    if unit == "Flag table":
        return "flag"
    return "double" if scale > 0 else "long"


def table_field(text: str) -> str:
    """One "|" field: quoted when it holds a quote or a separator, inner quotes doubled."""
    if any(c in text for c in '"|'):
        return '"' + text.replace('"', '""') + '"'
    return text


def one_line(text: str) -> str:
    return " ".join(text.split())


def element_lines(rows: list[list[str]], keys: dict[str, str]) -> list[str]:
    lines = [ELEMENT_HEADER]
    for row in rows:
        code, name, unit = row[2].strip(), one_line(row[3]), row[4].strip()
        scale, reference, width = (row[i].strip() for i in (5, 6, 7))
        crex = [row[i].strip() for i in (8, 9, 10)]
        key = keys.get(code) or abbreviation(name, code)
        fields = [code, key, element_type(unit, int(scale)), name, unit, scale, reference, width,
                  *crex]
        lines.append("|".join(table_field(f) for f in fields))
    return lines


def sequence_lines(rows: list[list[str]]) -> list[str]:
    sequences: dict[str, list[str]] = {}
    for row in rows:
        sequences.setdefault(row[2].strip(), []).append(row[5].strip())
    return [f'"{code}" = [  {", ".join(members)} ]' for code, members in sequences.items()]


def code_tables(rows: list[list[str]], elements: list[list[str]]) -> dict[int, dict[int, tuple[str, str]]]:
    """Element code -> key -> (figure as written, meaning), keys as described in the module docstring."""
    flag_widths = {int(row[2]): int(row[7]) for row in elements if row[4].strip() == "Flag table"}
    tables: dict[int, dict[int, tuple[str, str]]] = {}
    for row in rows:
        code, figure, meaning = int(row[0]), row[2].strip(), one_line(row[3])
        if not meaning:
            continue
        width = flag_widths.get(code)
        if all_bits := _ALL_BITS.fullmatch(figure):
            if width is None or int(all_bits[1]) != width:
                continue
            key, figure = (1 << width) - 1, all_bits[1]
        elif not _FIGURE.fullmatch(figure):
            continue  # a range or a heading
        elif width is None:
            key = int(figure)
        elif 1 <= int(figure) <= width:
            key = 1 << (width - int(figure))
        else:
            continue
        tables.setdefault(code, {})[key] = (str(int(figure)), meaning)
    return tables


def generate(csv_dir: Path, out: Path, keys_table: Path = DEFAULT_KEYS) -> None:
    """Writes the table directory ``out`` from the WMO CSV files in ``csv_dir`` and the keys of
    ecCodes' ``keys_table``, replacing what was there."""
    elements = read_rows(csv_dir, "BUFRCREX_TableB_en_")
    if not elements:
        raise SystemExit(f"no BUFRCREX_TableB_en_*.csv files in {csv_dir}")
    for needed in (keys_table, APACHE_LICENSE):
        if not needed.is_file():
            raise SystemExit(f"{needed} is missing (Debian: apt-get install libeccodes-data base-files)")
    keys = eccodes_keys(keys_table)
    if out.exists():
        shutil.rmtree(out)
    (out / "codetables").mkdir(parents=True)

    def write(path: Path, lines: list[str]) -> None:
        path.write_text("".join(line + "\n" for line in lines), encoding="utf-8", newline="\n")

    write(out / "element.table", element_lines(elements, keys))
    write(out / "sequence.def", sequence_lines(read_rows(csv_dir, "BUFR_TableD_en_")))
    for code, entries in sorted(code_tables(read_rows(csv_dir, "BUFRCREX_CodeFlag_en_"), elements).items()):
        write(out / "codetables" / f"{code}.table",
              [f"{key} {figure} {meaning}" for key, (figure, meaning) in sorted(entries.items())])
    shutil.copyfile(csv_dir / "LICENSE.md", out / "LICENSE.md")
    shutil.copyfile(APACHE_LICENSE, out / "LICENSE-ecCodes.txt")
    write(out / "NOTICE.md", NOTICE.splitlines())


def main(argv: list[str]) -> None:
    csv_dir = Path(argv[0]) if argv else DEFAULT_CSV
    out = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUT
    generate(csv_dir, out, Path(argv[2]) if len(argv) > 2 else DEFAULT_KEYS)
    files = [p for p in out.rglob("*") if p.is_file()]
    print(f"wrote {out}: {len(files)} files, {sum(p.stat().st_size for p in files)} octets")


if __name__ == "__main__":
    main(sys.argv[1:])
