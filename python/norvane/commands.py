"""The command line's subcommands (``norvane FILE`` alone prints values, see ``__main__``):

    norvane ls FILE...                                   # one line per message
    norvane dump FILE... --format text|json|csv          # every value; CSV is the long table
    norvane table FILE... --columns station_id,latitude,longitude,airTemperature \\
                          --filter stationNumber=907 --filter pressure=10000..50000 -o out.parquet
    norvane map FILE... --column airTemperature -o map.png

All take ``--errors skip`` (report bad messages on standard error and go on), ``--tables DIR``
and ``--definitions DIR``. ``table`` writes observation rows (``--flat``: one row per subset)
as Parquet, CSV or JSON (a list of row objects), chosen by the extension of ``-o``, or CSV on
standard output. ``map`` needs matplotlib (``pip install norvane[map]``).

Filter values: ``key=v`` (a number when it reads as one, else text), ``key=a,b,c`` (any of
them), ``key=lo..hi`` (a range, both ends included; ``lo..`` or ``..hi`` leave one end open).

Exit status: 0 when all went well; 1 when a message could not be read (reported); 2 for a
wrong option, a file that cannot be opened or a missing optional module; 141 when standard
output was closed early.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import warnings
from collections.abc import Iterator
from typing import IO, Any

COMMANDS = ("ls", "dump", "table", "map")
CLOSED_PIPE = 141  # what a shell reports for a program ended by SIGPIPE


class _Failure(Exception):
    """A reported problem that ends the command with `status`."""

    def __init__(self, text: str, status: int) -> None:
        super().__init__(text)
        self.status = status


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="norvane", description="List, dump and tabulate BUFR files.")
    commands = parser.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("files", nargs="+", metavar="FILE", help='a file of BUFR messages; "-" reads standard input')
    common.add_argument("--errors", choices=("raise", "skip"), default="raise",
                        help="at a bad message: stop (raise, the default) or report it and go on (skip)")
    tables = common.add_mutually_exclusive_group()
    tables.add_argument("--definitions", metavar="DIR", help="ecCodes definitions root (default: found automatically)")
    tables.add_argument("--tables", metavar="DIR", help="one ecCodes table directory used for every message")
    commands.add_parser("ls", parents=[common], help="one line per message")
    dump = commands.add_parser("dump", parents=[common], help="every value, as text, JSON or CSV")
    dump.add_argument("--format", choices=("text", "json", "csv"), default="text")
    dump.add_argument("-o", "--output", metavar="PATH", help="write here instead of standard output")
    table = commands.add_parser("table", parents=[common], help="observation rows as Parquet, CSV or JSON")
    table.add_argument("--columns", "-c", action="append", metavar="KEYS",
                       help="comma-separated keys (repeatable), e.g. station_id,latitude,longitude,airTemperature; "
                            "required without --flat, which otherwise keeps every column")
    table.add_argument("--filter", "-f", action="append", default=[], metavar="KEY=VALUE",
                       help="keep rows where KEY is VALUE, one of A,B,C, or in LO..HI (repeatable)")
    table.add_argument("--required", action="append", metavar="KEYS",
                       help="rows must have these columns (default: all of them); '' requires none")
    table.add_argument("--flat", action="store_true", help="one row per subset with #rank#key columns")
    table.add_argument("-o", "--output", metavar="PATH",
                       help="out.parquet, out.csv or out.json (default: CSV on standard output)")
    chart = commands.add_parser("map", parents=[common], help="the reports' positions coloured by a column (PNG)")
    chart.add_argument("--column", required=True, metavar="KEY", help="the key that colours the points")
    chart.add_argument("--filter", "-f", action="append", default=[], metavar="KEY=VALUE")
    chart.add_argument("-o", "--output", required=True, metavar="PATH", help="the image to write (PNG)")
    chart.add_argument("--size", default="1200x800", metavar="WxH", help="image size in pixels (default 1200x800)")
    return parser


def parse_filter(text: str) -> tuple[str, Any]:
    """``key=value`` -> (key, condition) as ``read_table`` takes it."""
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise ValueError(f"a filter is KEY=VALUE, not {text!r}")
    if ".." in value:
        lo, _, hi = value.partition("..")
        return key, slice(_scalar(lo) if lo else None, _scalar(hi) if hi else None)
    if "," in value:
        return key, [_scalar(v) for v in value.split(",")]
    return key, _scalar(value)


def _scalar(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _split(values: list[str] | None) -> list[str]:
    return [v.strip() for item in values or [] for v in item.split(",") if v.strip()]


class _Run:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.status = 0
        self.tables, self.definitions = self._tables()

    def _tables(self) -> tuple[Any, Any]:
        from norvane import _norvane
        from norvane.definitions import find_definitions_root

        if self.args.tables is not None:
            return _norvane.TableSet.from_eccodes(self.args.tables), None
        if self.args.definitions is not None:
            return None, find_definitions_root(self.args.definitions)
        return None, None

    def fail(self, text: str, status: int) -> None:
        print(f"norvane: {text}", file=sys.stderr)
        self.status = max(self.status, status)

    def source(self, path: str) -> Any:
        return sys.stdin.buffer if path == "-" else path

    def read_table(self, path: str, **layout: Any) -> Any:
        """The file's table (or layout), with bad messages reported; None when it could not be read."""
        from norvane.reader import ReadError
        from norvane.table import Table, read_table

        try:
            table = read_table(self.source(path), tables=self.tables, definitions=self.definitions,
                               errors=self.args.errors, **layout)
        except ReadError as error:
            self.fail(f"{path}: {error}", 1)
            return None
        except BrokenPipeError:
            raise
        except OSError as error:
            self.fail(f"{path}: {error.strerror or error}", 2)
            return None
        self.report(path, table.skipped if isinstance(table, Table) else table.attrs["skipped"])
        return table

    def report(self, path: str, skipped: list[Any]) -> None:
        for entry in skipped:
            self.fail(f"{path}: {entry.error}", 1)


def _ls(run: _Run, out: IO[str]) -> None:
    import norvane

    out.write("index\toffset\tedition\tcentre\tcategory\tsubsets\tcompressed\ttypical_time\ttable_source\n")
    for path in run.args.files:
        if len(run.args.files) > 1:
            out.write(f"# {path}\n")
        try:
            with norvane.read(run.source(path), tables=run.tables, definitions=run.definitions,
                              errors=run.args.errors) as reader:
                reported = 0
                for m in reader:
                    for entry in reader.skipped[reported:]:
                        run.fail(f"{path}: {entry.error}", 1)
                    reported = len(reader.skipped)
                    when = m.typical_datetime.isoformat() if m.typical_datetime is not None else "-"
                    try:
                        source = m.table_source
                    except ValueError as error:
                        source = "-"
                        run.fail(f"{path}: {error}", 1)
                    out.write(f"{m.index}\t{m.offset}\t{m.edition}\t{m.centre}\t{m.data_category}\t"
                              f"{m.number_of_subsets}\t{'yes' if m.compressed else 'no'}\t{when}\t{source}\n")
                for entry in reader.skipped[reported:]:
                    run.fail(f"{path}: {entry.error}", 1)
        except norvane.ReadError as error:
            run.fail(f"{path}: {error}", 1)
        except BrokenPipeError:
            raise
        except OSError as error:
            run.fail(f"{path}: {error.strerror or error}", 2)


_BATCH = 1 << 16  # long-table rows turned into Python objects at a time


def _message_records(table: Any) -> Iterator[dict[str, Any]]:
    """The table's values nested by message and subset, with the header fields of each message,
    one message at a time (a file's values as Python objects would not fit in memory)."""
    headers = table.headers()
    names = ("message", "subset", "descriptor", "key", "value", "text", "meaning", "unit")
    order = iter(range(len(headers["message"])))
    current: dict[str, Any] | None = None

    def start(message: int) -> Iterator[dict[str, Any]]:
        for i in order:  # header-only messages (no rows) come out in their place too
            record = {name: _plain(values[i]) for name, values in headers.items()}
            record["subsets"] = []
            if record["message"] == message:
                nonlocal current
                current = record
                return
            yield record

    for batch in table.to_arrow().to_batches(max_chunksize=_BATCH):
        for m, s, d, k, v, t, meaning, unit in zip(*(batch.column(n).to_pylist() for n in names)):
            if current is None or current["message"] != m:
                if current is not None:
                    yield current
                current = None
                yield from start(m)
                if current is None:  # rows of a message the headers do not list
                    current = {"message": m, "subsets": []}
            subsets = current["subsets"]
            while len(subsets) <= s:
                subsets.append([])
            item: dict[str, Any] = {"descriptor": d, "key": k, "value": t if t is not None else v, "unit": unit}
            if meaning is not None:
                item["meaning"] = meaning
            subsets[s].append(item)
    if current is not None:
        yield current
    yield from start(-1)


def _plain(value: Any) -> Any:
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return value


def _dump(run: _Run, out: IO[str]) -> None:
    kind = run.args.format
    several = len(run.args.files) > 1
    if kind == "json":
        out.write('{"files": [')
    written = 0
    for path in run.args.files:
        table = run.read_table(path)
        if table is None:
            continue
        if kind == "csv":
            _write_long_csv(table, out, header=not written, path=path if several else None)
        elif kind == "json":
            _write_json(table, out, path, first=not written)
        else:
            _write_text(table, out, path if several else None)
        written += 1
    if kind == "json":
        out.write("]}\n")


def _write_json(table: Any, out: IO[str], path: str, first: bool) -> None:
    """One file's entry of the JSON document, written message by message."""
    out.write(("" if first else ", ") + '{"path": ' + json.dumps(path) + ', "messages": [')
    for i, record in enumerate(_message_records(table)):
        out.write((", " if i else "") + json.dumps(record, allow_nan=False))
    out.write('], "skipped": ' + json.dumps([entry._asdict() for entry in table.skipped]) + "}")


def _write_text(table: Any, out: IO[str], path: str | None) -> None:
    if path is not None:
        out.write(f"==> {path} <==\n")
    for record in _message_records(table):
        out.write(f"message {record['message']} at offset {record['offset']}: edition {record['edition']}, "
                  f"centre {record['centre']}, category {record['data_category']}, "
                  f"{record['number_of_subsets']} subsets, {record['typical_datetime'] or 'no valid date'}\n")
        for s, values in enumerate(record["subsets"]):
            out.write(f"  subset {s}\n")
            for item in values:
                value = item["value"]
                shown = "missing" if value is None else _number(value) if isinstance(value, float) else value
                unit = item["unit"] or ""
                meaning = f"  ({item['meaning']})" if "meaning" in item else ""
                out.write(f"    {item['descriptor']:06d}  {item['key']:<44.44}  {shown} {unit}{meaning}\n")


def _number(value: float) -> str:
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


def _write_long_csv(table: Any, out: IO[str], header: bool, path: str | None) -> None:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    arrow = table.to_arrow()
    arrow = arrow.cast(pa.schema([pa.field(f.name, pa.string() if pa.types.is_dictionary(f.type) else f.type)
                                  for f in arrow.schema]))
    if path is not None:
        arrow = arrow.add_column(0, "file", pa.array([path] * arrow.num_rows, pa.string()))
    sink = pa.BufferOutputStream()
    pacsv.write_csv(arrow, sink, pacsv.WriteOptions(include_header=header))
    out.write(sink.getvalue().to_pybytes().decode())


def _frames(run: _Run, columns: Any, filters: dict[str, Any], required: Any, flat: bool) -> Any:
    import pandas as pd

    frames = []
    for path in run.args.files:
        layout = {"layout": "flat"} if flat else {}
        frame = run.read_table(path, columns=columns, filters=filters or None, required_columns=required, **layout)
        if frame is None:
            continue
        if len(run.args.files) > 1:
            frame.insert(0, "file", path)
        frames.append(frame)
    if not frames:
        return None
    return pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]


def _table(run: _Run, out: IO[str]) -> None:
    args = run.args
    columns = _split(args.columns) or None
    if columns is None and not args.flat:
        run.fail("table: --columns names the keys of the rows (or --flat gives every column)", 2)
        return
    filters = dict(parse_filter(f) for f in args.filter)
    required = None if args.required is None else _split(args.required)
    frame = _frames(run, columns, filters, required, args.flat)
    if frame is None:
        return
    _write_frame(frame, args.output, out)


def _write_frame(frame: Any, output: str | None, out: IO[str]) -> None:
    if output is None:
        frame.to_csv(out, index=False)
        return
    extension = os.path.splitext(output)[1].lower()
    if extension == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), output)
    elif extension == ".csv":
        frame.to_csv(output, index=False)
    elif extension == ".json":
        with open(output, "w", encoding="utf-8") as handle:
            json.dump(_records(frame), handle, allow_nan=False)
    else:
        raise _Failure(f"{output}: the output must end in .parquet, .csv or .json", 2)


def _records(frame: Any) -> list[dict[str, Any]]:
    """The frame's rows as JSON objects: floats exactly (shortest repr), missing as null, times in ISO 8601."""
    columns = {}
    for name in frame.columns:
        column = frame[name]
        if column.dtype.kind == "M":
            values = [None if v is None else v.isoformat() for v in column.astype(object).where(column.notna(), None)]
        else:
            values = [_json_value(v) for v in column.tolist()]
        columns[str(name)] = values
    names = list(columns)
    return [dict(zip(names, row)) for row in zip(*columns.values())]


def _json_value(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if hasattr(value, "tolist"):  # a numpy scalar or array (geometry)
        return value.tolist()
    return value


def _map(run: _Run, out: IO[str]) -> None:
    args = run.args
    try:
        width, height = (int(v) for v in args.size.lower().split("x"))
        if not (16 <= width <= 20000 and 16 <= height <= 20000):
            raise ValueError
    except ValueError:
        raise _Failure(f"--size must be WIDTHxHEIGHT in pixels (16 to 20000), not {args.size!r}", 2) from None
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise _Failure("map needs matplotlib: pip install 'norvane[map]'", 2) from None
    filters = dict(parse_filter(f) for f in args.filter)
    columns = ["message", "subset", "latitude", "longitude", args.column]
    frame = _frames(run, columns, filters, ["latitude", "longitude"], False)
    if frame is None:
        return
    report = ["file", "message", "subset"] if "file" in frame else ["message", "subset"]
    frame = frame.dropna(subset=["latitude", "longitude"]).drop_duplicates(subset=report)  # one point per report
    dpi = 100
    figure, axes = plt.subplots(figsize=(width / dpi, height / dpi), dpi=dpi)
    values = frame[args.column]
    numeric = values.dtype.kind in "fiub"
    has = values.notna().to_numpy()
    axes.scatter(frame["longitude"][~has], frame["latitude"][~has], s=6, c="lightgrey", label="missing")
    if numeric and has.any():
        points = axes.scatter(frame["longitude"][has], frame["latitude"][has], s=8, c=values[has], cmap="viridis")
        figure.colorbar(points, ax=axes, label=args.column)
    elif has.any():
        axes.scatter(frame["longitude"][has], frame["latitude"][has], s=8)
    axes.set_xlim(-180, 180)
    axes.set_ylim(-90, 90)
    axes.set_xlabel("longitude")
    axes.set_ylabel("latitude")
    axes.grid(True, linewidth=0.3)
    axes.set_title(f"{args.column}: {int(has.sum())} of {len(frame)} reports")
    figure.savefig(args.output, dpi=dpi, format="png")  # no tight bbox: the image keeps the asked size
    plt.close(figure)


def show_warning(message: Warning | str, category: type[Warning], *_: object, **__: object) -> None:
    """Shows a warning as one line of the command line's own on standard error."""
    print(f"norvane: warning: {message}", file=sys.stderr)


def quiet_closed_pipe() -> int:
    """Whoever reads our output has gone: stops quietly, keeping the interpreter's own flush at
    exit from raising the same error again. Returns the exit status for it."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass
    return CLOSED_PIPE


def run(argv: list[str]) -> int:
    """Runs one subcommand; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        command = _Run(args)
    except (ValueError, LookupError, OSError) as error:  # tables that do not load, definitions not found
        print(f"norvane: {error}", file=sys.stderr)
        return 2
    out = sys.stdout
    handle = None
    try:
        if args.command == "dump" and args.output is not None:
            handle = out = open(args.output, "w", encoding="utf-8", newline="")
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            {"ls": _ls, "dump": _dump, "table": _table, "map": _map}[args.command](command, out)
        out.flush()
    except _Failure as failure:
        command.fail(str(failure), failure.status)
    except ValueError as error:  # a request the layouts refuse (an unknown layout, a bad rank)
        command.fail(str(error), 2)
    except BrokenPipeError:
        return quiet_closed_pipe()
    finally:
        if handle is not None:
            handle.close()
    return command.status
