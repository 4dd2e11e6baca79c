"""Command line: print the header and the decoded values of every message in a BUFR file.

    python -m norvane FILE                 # tables chosen from each message's section 1
    python -m norvane --tables DIR FILE    # one ecCodes table directory for every message
    python -m norvane --headers FILE       # headers only, no tables needed
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from norvane import _norvane
from norvane.definitions import DefinitionsNotFound, find_definitions_root
from norvane.messages import iter_message_bytes


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="norvane", description="Decode WMO BUFR edition 4 messages.")
    parser.add_argument("file", type=Path, help="a file holding one or more BUFR messages")
    tables = parser.add_mutually_exclusive_group()
    tables.add_argument("--definitions", metavar="DIR", help="ecCodes definitions root (default: found automatically)")
    tables.add_argument("--tables", metavar="DIR", help="one ecCodes table directory used for every message")
    parser.add_argument("--headers", action="store_true", help="print message headers only")
    parser.add_argument("--limit", type=int, metavar="N", help="stop after N messages")
    return parser


def _format_data(value: _norvane.DecodedValue) -> str:
    data = value.data
    if data is None:
        return "missing"
    if isinstance(data, float) and data.is_integer() and abs(data) < 1e15:
        return str(int(data))
    return str(data)


def _header(index: int, message: _norvane.BufrMessage) -> str:
    m = message
    return (
        f"message {index}: {m!r}\n"
        f"  centre {m.originating_centre}/{m.originating_subcentre}, master table {m.master_table_number} "
        f"version {m.master_tables_version_number}, local version {m.local_tables_version_number}, "
        f"category {m.data_category}, {m.typical_year:04}-{m.typical_month:02}-{m.typical_day:02} "
        f"{m.typical_hour:02}:{m.typical_minute:02}:{m.typical_second:02}, "
        f"{'compressed' if m.compressed_data else 'uncompressed'}"
    )


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        data = args.file.read_bytes()
    except OSError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 2

    tables = None
    definitions = None
    if not args.headers:
        try:
            if args.tables is not None:
                tables = _norvane.TableSet.from_eccodes(args.tables)
            else:
                definitions = find_definitions_root(args.definitions)
        except (DefinitionsNotFound, ValueError) as error:
            print(f"norvane: {error}", file=sys.stderr)
            return 2

    failures = 0
    out = sys.stdout
    for index, raw in enumerate(iter_message_bytes(data), start=1):
        if args.limit is not None and index > args.limit:
            break
        try:
            message = _norvane.parse_bytes(raw)
        except ValueError as error:
            print(f"message {index}: {error}", file=sys.stderr)
            failures += 1
            continue
        out.write(_header(index, message) + "\n")
        if args.headers:
            continue
        try:
            if tables is not None:
                values = _norvane.decode_values_with_tables(raw, tables)
            else:
                values = _norvane.decode_values_with_definitions(raw, definitions)
        except ValueError as error:
            print(f"message {index}: {error}", file=sys.stderr)
            failures += 1
            continue
        lines = [f"  {v.descriptor:06}  {v.name:<48.48}  {_format_data(v)}" for v in values]
        out.write("\n".join(lines) + ("\n" if lines else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
