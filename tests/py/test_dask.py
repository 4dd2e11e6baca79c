"""norvane.dask: many BUFR files as one Dask DataFrame, planned from section 0 and read by byte range."""

import pickle
import subprocess
import sys

import pytest
from bufr_writer import build_message
from conftest import CORPUS, DEFINITIONS, require

pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import dask  # noqa: E402

import norvane  # noqa: E402
import norvane.dask as nd  # noqa: E402
from norvane import table  # noqa: E402

DERIVED = CORPUS / "bufr" / "derived_ed4"


def corpus_file(name):
    return require(DERIVED / name)


def message_offsets(source):
    with norvane.read(source, errors="skip") as reader:
        return [(m.index, m.offset, m.length) for m in reader]


def comparable(frame):
    """``frame`` with plain object columns for categoricals (each partition has its own categories)
    and strings, and a fresh index, so frames built from different partitionings compare value by value."""
    frame = frame.reset_index(drop=True)
    for name, dtype in frame.dtypes.items():
        if isinstance(dtype, pd.CategoricalDtype) or pd.api.types.is_string_dtype(dtype):
            frame[name] = frame[name].astype(object)
    return frame


def expected_frame(paths, errors="raise"):
    """read_table of each file in this process, with the file column in front."""
    parts = []
    for path in paths:
        frame = table.read_table(str(path), errors=errors).to_pandas()
        frame.insert(0, "file", str(path))
        frame["raw"] = frame["raw"].astype("float64")
        parts.append(comparable(frame))
    return comparable(pd.concat(parts))


def compute_sync(*collections):
    with dask.config.set(scheduler="sync"):
        return dask.compute(*collections)


def first_messages(tmp_path, name, count):
    """A file holding the first ``count`` messages of the corpus file ``name``: a run of messages
    keeps the tests short where a whole large file would add nothing."""
    source = corpus_file(name)
    offsets = message_offsets(source)
    data = source.read_bytes()
    end = offsets[count][1] if count < len(offsets) else len(data)
    path = tmp_path / f"first{count}_{name}"
    path.write_bytes(data[:end])
    return path


def test_importing_norvane_does_not_import_dask():
    code = ("import sys, norvane, norvane.table; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


def test_local_cluster_with_two_worker_processes_equals_one_process_read(tmp_path):
    from distributed import Client, LocalCluster

    paths = [corpus_file("temp.ed4.bufr"), first_messages(tmp_path, "cmwn_87.ed4.bufr", 16),
             first_messages(tmp_path, "perf_aircraft.ed4.bufr", 500),
             first_messages(tmp_path, "perf_synop.ed4.bufr", 500)]
    bad = tmp_path / "bad.bufr"
    good = paths[2].read_bytes()[:message_offsets(paths[2])[3][1]]
    bad.write_bytes(good + good[:100])  # three sound messages, then one cut short
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        frame = nd.read_table([str(p) for p in paths], messages_per_partition=150)
        assert frame.npartitions == 3 + 1 + 4 + 4  # runs of 150 of 420, 16, 500 and 500 messages
        result = frame.compute()
        with pytest.raises(nd.FileReadError) as raised:
            nd.read_table(str(bad)).compute()
        skipping = nd.read_table(str(bad), errors="skip", messages_per_partition=2)
        rows, skipped = dask.compute(skipping, nd.skipped_messages(skipping))
    order = {"by": ["file", "message", "subset"], "kind": "stable", "ignore_index": True}
    pd.testing.assert_frame_equal(comparable(result).sort_values(**order), expected_frame(paths).sort_values(**order))
    assert (raised.value.path, raised.value.index, raised.value.offset) == (str(bad), 3, len(good))
    assert str(raised.value).startswith(f"{bad}: message 3 at offset {len(good)}: message is cut short")
    assert sorted(set(rows["message"])) == [0, 1, 2]
    assert [tuple(row)[:3] for row in skipped.itertuples(index=False)] == [(str(bad), 3, len(good))]


def test_plan_of_a_15000_message_file_cuts_at_message_boundaries():
    path = corpus_file("perf_synop.ed4.bufr")
    messages = message_offsets(path)
    assert len(messages) > 15000
    plan = nd.plan_partitions([str(path)], 1000)
    offsets = {index: offset for index, offset, _ in messages}
    assert [p.first_index for p in plan] == list(range(0, len(messages), 1000))
    assert [p.start for p in plan] == [0] + [offsets[i] for i in range(1000, len(messages), 1000)]
    assert [p.end for p in plan] == [p.start for p in plan[1:]] + [path.stat().st_size]


def scan(source):
    with norvane.read(source, errors="skip") as reader:
        messages = [(m.index, m.offset, m.length) for m in reader]
        return messages, [tuple(s) for s in reader.skipped]


def damaged_file(seed, sound):
    """Sound messages with, between them, junk, broken markers and bad messages whose declared
    length spans the next messages (in which the sound messages are still found)."""
    import random

    rng = random.Random(seed)
    out = b""
    for message in sound:
        kind = rng.randrange(6)
        if kind == 0:
            out += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 12)))
        elif kind == 1:
            out += b"BUFR" + rng.randrange(1 << 24).to_bytes(3, "big") + bytes([rng.randrange(6)])
        elif kind == 2:  # declares more octets than it has: ends inside a later message, or past the end
            out += b"BUFR" + (rng.randrange(20, 3 * len(message))).to_bytes(3, "big") + b"\x04" + bytes(20)
        elif kind == 3:
            out += message[:rng.randrange(8, len(message))]
        out += message
    return out + (sound[0][:rng.randrange(len(sound[0]))] if rng.random() < 0.5 else b"")


@pytest.mark.parametrize("seed", range(40))
def test_every_run_reads_alone_as_it_reads_in_its_file(tmp_path, seed):
    source = corpus_file("temp.ed4.bufr").read_bytes()
    sound = [source[offset:offset + length] for _, offset, length in message_offsets(source)[:8]]
    path = tmp_path / "damaged.bufr"
    path.write_bytes(damaged_file(seed, sound))
    whole = scan(str(path))
    for per_partition in (1, 2, 3):
        messages, skipped = [], []
        for part in nd.plan_partitions([str(path)], per_partition):
            run = scan(path.read_bytes()[part.start:part.end])
            messages += [(i + part.first_index, o + part.start, n) for i, o, n in run[0]]
            skipped += [tuple(nd._file_skipped(part, norvane.SkippedMessage(*bad)))[1:] for bad in run[1]]
        assert (messages, skipped) == whole, per_partition


def test_runs_of_messages_give_the_frame_of_one_partition():
    path = corpus_file("perf_synop.ed4.bufr")  # 15,824 messages
    whole = nd.read_table(str(path))
    runs = nd.read_table(str(path), messages_per_partition=997)
    assert (whole.npartitions, runs.npartitions) == (1, 16)
    one, many = compute_sync(whole, runs)
    assert many["message"].is_monotonic_increasing and many["message"].iloc[-1] == 15823
    pd.testing.assert_frame_equal(comparable(many), comparable(one))


def corrupt_archive(tmp_path):
    """A folder of a good file and a file whose messages 2 (undecodable data) and 6 (a marker with a
    broken length) are bad, and whose last message is cut short."""
    folder = tmp_path / "archive"
    folder.mkdir()
    good = first_messages(tmp_path, "temp.ed4.bufr", 20)
    (folder / "a_good.bufr").write_bytes(good.read_bytes())
    data = good.read_bytes()
    cuts = [offset for _, offset, _ in message_offsets(data)] + [len(data)]
    unknown = build_message([63250], b"\x00\x00", master_version=13)  # an element no table has
    parts = [data[cuts[0]:cuts[2]], unknown, data[cuts[2]:cuts[5]], b"BUFR\x00\x00\x05\x04", data[cuts[5]:cuts[9]],
             data[cuts[9]:cuts[10]][:-30]]
    (folder / "b_bad.bufr").write_bytes(b"".join(parts))
    return folder


@pytest.mark.parametrize("per_partition", [None, 1, 3])
def test_corrupt_file_among_good_ones_with_errors_skip(tmp_path, per_partition):
    folder = corrupt_archive(tmp_path)
    frame = nd.read_table(str(folder), errors="skip", messages_per_partition=per_partition)
    rows, skipped = compute_sync(frame, nd.skipped_messages(frame))
    paths = sorted(str(p) for p in folder.iterdir())
    pd.testing.assert_frame_equal(comparable(rows), expected_frame(paths, errors="skip"))
    bad_read = table.read_table(paths[1], errors="skip")
    assert [tuple(row) for row in skipped.itertuples(index=False)] == [
        (paths[1], s.index, s.offset, s.error) for s in bad_read.skipped]
    assert [s.index for s in bad_read.skipped] == [2, 6, 11]  # the undecodable, the broken, the cut message
    assert sorted(set(rows.loc[rows["file"] == paths[1], "message"])) == [0, 1, 3, 4, 5, 7, 8, 9, 10]


def test_errors_raise_names_the_message_in_the_whole_file(tmp_path):
    folder = corrupt_archive(tmp_path)
    path = str(folder / "b_bad.bufr")
    frame = nd.read_table(path, messages_per_partition=2)
    with pytest.raises(nd.FileReadError) as raised:
        compute_sync(frame)
    # partitions run in any order: the error is that of whichever bad message was met first
    [expected] = [s for s in table.read_table(path, errors="skip").skipped if s.index == raised.value.index]
    assert raised.value.offset == expected.offset
    assert str(raised.value) == f"{path}: {expected.error}"
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy), copy.index, copy.offset, copy.path) == (
        nd.FileReadError, str(raised.value), expected.index, expected.offset, path)


def test_each_process_loads_its_tables_once(tmp_path, monkeypatch):
    from norvane import table_cache

    loads = []
    load_tables = table_cache._reader.load_tables
    monkeypatch.setattr(table_cache._reader, "load_tables", lambda *args: loads.append(args) or load_tables(*args))
    monkeypatch.setattr(nd, "_PROCESS_TABLES", {})
    table_cache._load_definitions.cache_clear()  # tables an earlier test loaded would hide the load
    path = first_messages(tmp_path, "temp.ed4.bufr", 12)
    frame = nd.read_table(str(path), messages_per_partition=2, definitions=str(require(DEFINITIONS)))
    compute_sync(frame)
    compute_sync(frame)
    assert frame.npartitions == 6 and len(loads) == 1


def flat_stand_in(calls):
    """A read_table for another layout: one row per message, and a column named after the message's
    data category (2 for TEMP, 0 for SYNOP); message 5 of a file also has a column no first message has."""

    def read_table(source, *, errors, layout, columns=None, tables=None, definitions=None):
        calls.append((layout, columns))
        rows = []
        with norvane.read(source, errors=errors) as reader:
            for m in reader:
                rows.append({"message": m.index, f"category{m.data_category}": float(m.index)} |
                            ({"late": "x"} if m.index == 5 else {}))
        return pd.DataFrame(rows)

    return read_table


def test_other_layouts_align_partitions_to_the_union_of_columns(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(table, "read_table", flat_stand_in(calls))
    temp = first_messages(tmp_path, "temp.ed4.bufr", 4)
    synop = first_messages(tmp_path, "perf_synop.ed4.bufr", 3)
    frame = nd.read_table([str(temp), str(synop)], layout="flat", columns=["x"])
    assert list(frame.columns) == ["file", "message", "category2", "category0"]
    [rows] = compute_sync(frame)
    assert {(layout, tuple(columns)) for layout, columns in calls} == {("flat", ("x",))}
    assert rows["category2"].tolist()[:4] == [0.0, 1.0, 2.0, 3.0]
    assert rows["category2"].isna().tolist()[4:] == [True] * 3
    assert rows["category0"].isna().tolist()[:4] == [True] * 4 and rows["category0"].tolist()[4:] == [0.0, 1.0, 2.0]
    late = first_messages(tmp_path, "temp.ed4.bufr", 6)
    with pytest.raises(ValueError, match=r"has the columns \['late'\], which the first message of no partition"):
        compute_sync(nd.read_table(str(late), layout="flat"))


@pytest.mark.parametrize("kwargs, error, text", [
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'skip'"),
    ({"messages_per_partition": 0}, ValueError, "messages_per_partition must be a positive int"),
    ({"messages_per_partition": True}, ValueError, "messages_per_partition must be a positive int"),
    ({"definitions": "/nonexistent"}, norvane.DefinitionsNotFound, "/nonexistent"),
])
def test_bad_arguments_fail_at_planning(kwargs, error, text):
    with pytest.raises(error, match=text):
        nd.read_table(str(corpus_file("temp.ed4.bufr")), **kwargs)


def test_a_glob_matching_nothing_fails_at_planning(tmp_path):
    with pytest.raises(FileNotFoundError, match="no file matches"):
        nd.read_table(str(tmp_path / "*.bufr"))
