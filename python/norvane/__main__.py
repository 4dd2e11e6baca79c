"""Command line: print the header and the decoded values of every message in BUFR files.

    norvane FILE...                  # tables chosen from each message's section 1
    norvane - < FILE                 # standard input
    norvane --headers FILE           # headers only
    norvane --tables DIR FILE        # one ecCodes table directory for every message
    norvane --definitions DIR FILE   # this ecCodes definitions root
    norvane --errors skip FILE       # report bad messages and go on
    norvane ls|dump|table|map ...    # subcommands: see norvane.commands

Without ``--tables`` or ``--definitions`` the tables come from the ecCodes definitions that
``norvane.find_definitions_root()`` finds, else from the WMO tables bundled in the package.

Exit status: 0 when every message was read and decoded; 1 when a file held no message, a
message could not be read or decoded (each reported on standard error; with ``--errors raise``,
the default, the rest of that file is not read); 2 when a file cannot be opened or an option is
wrong; 141 when standard output was closed early (as by ``norvane FILE | head``).
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Iterable
from pathlib import Path
from typing import IO, Any

import norvane
from norvane import _norvane
from norvane.bundled import BUNDLED_SOURCE
from norvane.commands import COMMANDS, quiet_closed_pipe, show_warning
from norvane.commands import run as run_command
from norvane.definitions import DefinitionsNotFound, find_definitions_root

STDIN = "-"
#: Files at least this long get a progress bar, when standard error is a terminal.
PROGRESS_MIN_SIZE = 1 << 20


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="norvane", description="Decode WMO BUFR messages (editions 3 and 4) and print their values.")
    parser.add_argument("files", nargs="+", metavar="FILE", help='a file of BUFR messages; "-" reads standard input')
    parser.add_argument("--version", action="version", version=f"norvane {norvane.__version__} ({BUNDLED_SOURCE})")
    tables = parser.add_mutually_exclusive_group()
    tables.add_argument("--definitions", metavar="DIR", help="ecCodes definitions root (default: found automatically)")
    tables.add_argument("--tables", metavar="DIR", help="one ecCodes table directory used for every message")
    parser.add_argument("--headers", action="store_true", help="print message headers only, no values")
    parser.add_argument("--errors", choices=("raise", "skip"), default="raise",
                        help="at a bad message: stop reading the file (raise, the default) or report it and go on")
    parser.add_argument("--limit", type=int, metavar="N", help="stop after N messages of each file")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="show each message's table source and a summary of each file")
    return parser


def _format_data(data: str | float | None) -> str:
    if data is None:
        return "missing"
    if data.__class__ is float and data.is_integer() and -1e15 < data < 1e15:
        return str(int(data))
    return str(data)


def _count(n: int, thing: str) -> str:
    return f"{n} {thing}{'' if n == 1 else 's'}"


def _optional(value: object) -> str:
    return "-" if value is None else str(value)


def _header(m: norvane.Message, verbose: bool) -> str:
    when = m.typical_datetime.isoformat(" ") if m.typical_datetime is not None else "no valid date"
    lines = [
        f"message {m.index} at offset {m.offset}: edition {m.edition}, {m.length} octets, "
        f"{_count(m.number_of_subsets, 'subset')}, "
        f"{'compressed' if m.compressed else 'uncompressed'}, {'observed' if m.observed else 'other'} data",
        f"  centre {m.centre}/{_optional(m.subcentre)}, master table {m.master_table} version "
        f"{m.master_table_version}, local version {m.local_table_version}, category {m.data_category}/"
        f"{_optional(m.international_subcategory)}/{m.local_subcategory}, {when}",
        "  descriptors " + " ".join(f"{code:06}" for code in m.descriptors),
    ]
    if verbose:
        lines.append(f"  tables: {m.table_source}")
    return "\n".join(lines) + "\n"


class _ValueLines:
    """Formats values one line each; the descriptor and name columns are made once per element
    (a file repeats a few hundred elements millions of times)."""

    def __init__(self) -> None:
        self.columns: dict[tuple[int, str], str] = {}

    def __call__(self, values: Iterable[_norvane.DecodedValue]) -> str:
        columns = self.columns
        if len(columns) > 100_000:  # names come from the tables; keep the memo bounded all the same
            columns.clear()
        lines = []
        for v in values:
            key = (v.descriptor, v.name)
            left = columns.get(key)
            if left is None:
                left = columns[key] = f"  {v.descriptor:06}  {v.name:<48.48}  "
            lines.append(left + _format_data(v.data) + "\n")
        return "".join(lines)


class _Progress:
    """A one-line bar on standard error, redrawn when the share done changes by a tenth of a percent."""

    def __init__(self, name: str, size: int, stream: IO[str]) -> None:
        self.name, self.size, self.stream, self.shown = name, size, stream, -1

    def update(self, done: int) -> None:
        permille = min(1000, done * 1000 // self.size)
        if permille != self.shown:
            self.shown = permille
            bar = "#" * (permille * 30 // 1000)
            self.stream.write(f"\r{self.name[-40:]} [{bar:<30}] {permille / 10:5.1f}%")
            self.stream.flush()

    def close(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


def _progress_for(source: Any, name: str) -> _Progress | None:
    """A bar for a long regular file when standard error is a terminal and standard output is not
    (on a terminal the values themselves show how far the reading got)."""
    stderr, stdout = sys.stderr, sys.stdout
    if not (stderr.isatty() and not stdout.isatty()):
        return None
    try:
        size = os.fstat(source.fileno()).st_size if source is sys.stdin.buffer else os.stat(source).st_size
    except (OSError, ValueError, AttributeError):
        return None
    return _Progress(name, size, stderr) if size >= PROGRESS_MIN_SIZE else None


class _Run:
    """One invocation: the tables chosen by the options, the output streams and the exit status."""

    def __init__(self, args: argparse.Namespace, tables: _norvane.TableSet | None, definitions: str | None) -> None:
        self.args, self.tables, self.definitions = args, tables, definitions
        self.out, self.status, self.value_lines = sys.stdout, 0, _ValueLines()

    def fail(self, text: str, status: int) -> None:
        print(f"norvane: {text}", file=sys.stderr)
        self.status = max(self.status, status)

    def read_file(self, path: str, label: str | None) -> None:
        name = "<stdin>" if path == STDIN else path
        source: Any = sys.stdin.buffer if path == STDIN else path
        if label is not None:
            self.out.write(label)
        reader, progress, reported, count = None, _progress_for(source, name), 0, 0
        try:
            reader = norvane.read(source, tables=self.tables, definitions=self.definitions, errors=self.args.errors)
            messages = iter(reader)
            # The limit is checked before asking for the next message, so nothing past it is read.
            while self.args.limit is None or count < self.args.limit:
                message = next(messages, None)
                reported = self.report_skipped(name, reader.skipped, reported)
                if message is None:
                    break
                count += 1
                if not self.print_message(name, message) and self.args.errors == "raise":
                    break
                if progress is not None:
                    progress.update(message.offset + message.length)
        except norvane.ReadError as error:
            self.fail(f"{name}: {error}", 1)
        except BrokenPipeError:
            raise  # our reader has gone, not the input: main() ends the run
        except OSError as error:
            self.fail(f"{name}: {error.strerror or error}", 2)
        finally:
            if progress is not None:
                progress.close()
            if reader is not None:
                reader.close()
        if reader is None:
            return
        self.report_skipped(name, reader.skipped, reported)
        if self.args.verbose:
            for run in reader.ignored:
                print(f"norvane: {name}: {_count(run.length, 'octet')} at offset {run.offset} belong to no message",
                      file=sys.stderr)
            print(f"norvane: {name}: {_count(count, 'message')} read, {len(reader.skipped)} skipped, "
                  f"{_count(reader.table_loads, 'table set')} loaded", file=sys.stderr)

    def print_message(self, name: str, message: norvane.Message) -> bool:
        """Writes the message's header and values; False when it cannot be decoded (reported)."""
        text = _header(message, self.args.verbose)
        if self.args.headers:
            self.out.write(text)
            return True
        try:
            values = message.decode()
        except ValueError as error:  # a ReadError, whose text names the message
            self.out.write(text)
            self.fail(f"{name}: {error}", 1)
            return False
        self.out.write(text + self.value_lines(values))
        return True

    def report_skipped(self, name: str, skipped: list[norvane.SkippedMessage], reported: int) -> int:
        for entry in skipped[reported:]:
            self.fail(f"{name}: {entry.error}", 1)  # the text names the message
        return len(skipped)


def _choose_tables(args: argparse.Namespace) -> tuple[_norvane.TableSet | None, str | None]:
    if args.headers:
        return None, None
    if args.tables is not None:
        return _norvane.TableSet.from_eccodes(args.tables), None
    if args.definitions is not None:
        return None, find_definitions_root(args.definitions)
    return None, None


def main(argv: list[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default: ``sys.argv[1:]``) and returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    if argv and argv[0] in COMMANDS:  # ls, dump, table, map (a file of that name: ./ls)
        return run_command(list(argv))
    args = _parser().parse_args(argv)
    if args.limit is not None and args.limit < 0:
        _parser().error("--limit must not be negative")
    try:
        tables, definitions = _choose_tables(args)
    except (DefinitionsNotFound, ValueError) as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 2
    run = _Run(args, tables, definitions)
    several = len(args.files) > 1
    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            for i, path in enumerate(args.files):
                label = ("\n" if i else "") + f"==> {path} <==\n" if several else None
                run.read_file(path, label)
            run.out.flush()
    except BrokenPipeError:
        return quiet_closed_pipe()
    except KeyboardInterrupt:
        return 130
    return run.status


if __name__ == "__main__":
    sys.exit(main())
