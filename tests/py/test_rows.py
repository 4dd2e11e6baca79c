"""Observation rows: the hierarchy walk, repeated elements, filters, computed columns and types,
on long tables written by hand (long_tables.py) and on corpus files."""

import math

import numpy as np
import pandas as pd
import pytest

from conftest import CORPUS, require
from long_tables import LongTable, station
from norvane import _columns
from norvane.flat import flat_frame
from norvane.rows import observation_rows

HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"


def rows(messages, columns, **kwargs):
    return observation_rows(LongTable(messages), columns, **kwargs)


def values(frame):
    return [tuple(None if isinstance(v, float) and math.isnan(v) else v for v in row)
            for row in frame.itertuples(index=False)]


def test_a_sounding_gives_one_row_per_level_with_its_station():
    levels = [(31002, "extendedDelayedDescriptorReplicationFactor", 3)]
    for pressure, temperature in ((100000, 288.5), (85000, 280.25), (50000, 252.0)):
        levels += [(7004, "pressure", pressure), (12101, "airTemperature", temperature)]
    columns = ["stationNumber", "latitude", "pressure", "airTemperature"]
    frame = rows([[station(10, 384, 52.5, 13.25) + levels]], columns)
    assert values(frame) == [(384, 52.5, 100000.0, 288.5), (384, 52.5, 85000.0, 280.25), (384, 52.5, 50000.0, 252.0)]


def test_reports_give_one_row_each_in_message_and_subset_order():
    report = lambda n, t: station(10, n, 50.0 + n, 8.0) + [(12101, "airTemperature", t)]  # noqa: E731
    frame = rows([[report(1, 270.0), report(2, 271.0)], [report(3, 272.0)]],
                 ["message", "subset", "stationNumber", "airTemperature"])
    assert values(frame) == [(0, 0, 1, 270.0), (0, 1, 2, 271.0), (1, 0, 3, 272.0)]


TWO_HEIGHTS = station(6, 260, 52.1, 5.18) + [
    (7032, HEIGHT, 2.0), (12101, "airTemperature", 280.0),
    (7032, HEIGHT, 10.0), (12101, "airTemperature", 279.0),
    (7032, HEIGHT, None), (20001, "horizontalVisibility", 5000.0),  # the height is cancelled
    (8002, "verticalSignificanceSurfaceObservations", 1), (20012, "cloudType", 30), (20012, "cloudType", 20),
    (20012, "cloudType", 11),
]


@pytest.mark.parametrize("columns, expected", [
    # every occurrence of a repeated element is a row, carrying what came before it
    (["stationNumber", "airTemperature"], [(260, 280.0), (260, 279.0)]),
    ([HEIGHT, "airTemperature"], [(2.0, 280.0), (10.0, 279.0)]),
    # a rank names one occurrence in the subset
    (["stationNumber", "#1#airTemperature"], [(260, 280.0)]),
    (["#2#airTemperature"], [(279.0,)]),
    # a cancelled coordinate is in the context as missing; the stale height does not leak
    ([HEIGHT, "horizontalVisibility"], [(None, 5000.0)]),
    # the same key over and over at one level: a row each
    (["verticalSignificanceSurfaceObservations", "cloudType"], [(1, 30), (1, 20), (1, 11)]),
], ids=["each-occurrence", "with-its-height", "first-by-rank", "second-by-rank", "cancelled-height", "same-level"])
def test_repeated_elements(columns, expected):
    assert values(rows([[TWO_HEIGHTS]], columns)) == expected


@pytest.mark.parametrize("required, expected", [
    (None, [(1, 280.0)]),
    (True, [(1, 280.0)]),
    (["stationNumber"], [(1, 280.0), (2, None)]),
    (False, [(1, 280.0), (2, None)]),
])
def test_required_columns(required, expected):
    subsets = [station(1, 1, 0, 0) + [(12101, "airTemperature", 280.0)], station(1, 2, 0, 0)]
    assert values(rows([subsets], ["stationNumber", "airTemperature"], required_columns=required)) == expected


STATIONS = [[station(1, n, 40.0 + n, 10.0) + [(12101, "airTemperature", t)]
             for n, t in ((1, 280.0), (2, 281.0), (3, None), (4, 283.0))]]


@pytest.mark.parametrize("filters, kept", [
    ({"stationNumber": 2}, [2]),
    ({"stationNumber": [1, 3]}, [1, 3]),
    ({"stationNumber": {4}}, [4]),
    ({"stationNumber": slice(2, 3)}, [2, 3]),
    ({"stationNumber": (2, None)}, [2, 3, 4]),
    ({"stationNumber": lambda v: v % 2 == 0}, [2, 4]),
    ({"airTemperature": slice(280.5, 290)}, [2, 4]),  # a missing value never matches
    ({"latitude": (41.5, 43.5), "stationNumber": [3, 4]}, [3]),
    ({"station_id": 1004}, [4]),
    ({"centre": 98}, [1, 2, 3, 4]),
    ({"centre": 7}, []),
    ({"subset": 1}, [2]),
], ids=lambda v: repr(v) if isinstance(v, dict) else None)
def test_filters(filters, kept):
    frame = rows(STATIONS, ["stationNumber"], filters=filters)
    assert frame["stationNumber"].tolist() == kept


def test_header_filters_pick_whole_messages():
    table = LongTable([STATIONS[0][:2], STATIONS[0][2:]], centres=[98, 74])
    frame = observation_rows(table, ["centre", "stationNumber"], filters={"centre": 74})
    assert values(frame) == [(74, 3), (74, 4)]


def test_computed_columns():
    when = [(4001, "year", 2024), (4002, "month", 2), (4003, "day", 29), (4004, "hour", 23), (4005, "minute", 59),
            (4006, "second", 30.5)]
    wigos = [(1125, "wigosIdentifierSeries", 0), (1126, "wigosIssuerOfIdentifier", 20000),
             (1127, "wigosIssueNumber", 0), (1128, "wigosLocalIdentifierCharacter", "AB12")]
    frame = rows([[station(10, 384, 52.5, 13.25) + when + wigos]],
                 ["datetime", "station_id", "WMO_station_id", "wigos_id", "geometry"])
    assert frame["datetime"].tolist() == [pd.Timestamp("2024-02-29 23:59:30.5")]
    assert frame["station_id"].dtype == np.int64 and frame["station_id"].tolist() == [10384]
    assert frame["WMO_station_id"].tolist() == [10384]
    assert frame["wigos_id"].tolist() == ["0-20000-0-AB12"]
    assert frame["geometry"].tolist() == [[13.25, 52.5]]


@pytest.mark.parametrize("parts, expected", [
    ([(4001, "year", 2023), (4002, "month", 2), (4003, "day", 29)], None),  # no 29 February in 2023
    ([(4001, "year", 2023), (4002, "month", 13), (4003, "day", 1)], None),
    ([(4001, "year", 2023), (4002, "month", 4), (4003, "day", 30)], "2023-04-30"),  # no hour: midnight
    ([(4001, "year", 2023), (4002, "month", 4), (4003, "day", 30), (4004, "hour", None)], None),
])
def test_datetime_of_bad_dates_is_missing(parts, expected):
    frame = rows([[station(1, 1, 0, 0) + parts]], ["stationNumber", "datetime"], required_columns=["stationNumber"])
    got = frame["datetime"].iloc[0]
    assert (pd.isna(got) if expected is None else got == pd.Timestamp(expected))


def test_types_follow_units_and_missing_values():
    subsets = [station(1, n, 45.0, 7.0) + [(20003, "presentWeather", w), (1015, "stationOrSiteName", name)]
               for n, w, name in ((1, 10, "Aosta"), (2, None, None))]
    frame = rows([subsets], ["stationNumber", "latitude", "presentWeather", "stationOrSiteName"])
    assert frame.dtypes["stationNumber"] == np.int64  # a code with no missing value
    assert frame.dtypes["latitude"] == np.float64
    assert frame.dtypes["presentWeather"] == np.float64  # one is missing: NaN
    assert frame["stationOrSiteName"].tolist()[0] == "Aosta" and frame["stationOrSiteName"].isna().tolist()[1]


@pytest.mark.parametrize("kwargs, error", [
    (dict(columns=[]), "at least one"),
    (dict(columns=["#0#airTemperature"]), "ranked key"),
    (dict(columns=["a"], required_columns=["b"]), "among columns"),
])
def test_bad_requests(kwargs, error):
    with pytest.raises(ValueError, match=error):
        observation_rows(LongTable(STATIONS), **kwargs)


def test_layout_dispatch_of_read_table(tmp_path):
    from norvane.layouts import arrange

    table = LongTable(STATIONS)
    assert arrange(table) is table
    assert list(arrange(table, columns="stationNumber")["stationNumber"]) == [1, 2, 3, 4]
    assert len(arrange(table, layout="flat")) == 4
    with pytest.raises(ValueError, match="layout"):
        arrange(table, layout="wide")


@pytest.fixture(scope="module")
def temp_table():
    from norvane.table import read_table

    data = require(CORPUS / "bufr/derived_ed4/temp.ed4.bufr").read_bytes()
    return read_table(data[:_end_of_message(data, 40)])


def _end_of_message(data, count):
    import norvane

    messages = list(norvane.read(data))[:count]
    return messages[-1].offset + messages[-1].length


class Restreamed:
    """A long table whose Arrow stream comes in small batches, each with dictionaries of its own
    (as a table that decodes while it streams may send them)."""

    def __init__(self, table, batch_rows):
        import pyarrow as pa

        arrow = table.to_arrow()
        batches = []
        for start in range(0, arrow.num_rows, batch_rows):
            part = arrow.slice(start, batch_rows)
            columns = [part.column(f.name).cast(pa.string()).dictionary_encode() if pa.types.is_dictionary(f.type)
                       else part.column(f.name) for f in arrow.schema]
            batches.extend(pa.table(columns, names=arrow.column_names).cast(arrow.schema).to_batches())
        self._arrow = pa.Table.from_batches(batches, arrow.schema)
        self._headers = table.headers()
        self.skipped = []

    def __arrow_c_stream__(self, requested_schema=None):
        return self._arrow.__arrow_c_stream__(requested_schema)

    def to_arrow(self):
        return self._arrow

    def headers(self):
        return self._headers


@pytest.mark.parametrize("batch_rows, piece_rows", [(97, 500), (5000, 300), (10**6, 500), (10**6, 1 << 18)])
def test_a_stream_in_batches_gives_the_same_frames(temp_table, monkeypatch, batch_rows, piece_rows):
    """Pieces hold whole messages, so neither batches nor pieces (smaller than one sounding)
    change the frames."""
    columns = ["message", "subset", "station_id", "pressure", "airTemperature"]
    whole_rows, whole_flat = observation_rows(temp_table, columns), flat_frame(temp_table)
    monkeypatch.setattr(_columns, "PIECE_ROWS", piece_rows)
    streamed = Restreamed(temp_table, batch_rows)
    pd.testing.assert_frame_equal(observation_rows(streamed, columns), whole_rows)
    pd.testing.assert_frame_equal(flat_frame(streamed), whole_flat)


@pytest.mark.parametrize("octets", [1, 20000])
def test_a_source_decoded_a_window_at_a_time_gives_the_frames_of_the_whole_table(monkeypatch, octets):
    """read_table's layouts decode a window of messages at a time (here one message, or a few)
    and give the frames of the whole long table; a bad message between windows is reported."""
    import norvane
    from norvane import table as table_module

    data = require(CORPUS / "bufr/derived_ed4/temp.ed4.bufr").read_bytes()
    good = data[:_end_of_message(data, 30)]
    source = good + b"BUFR\x00\x00\x20\x04" + bytes(24) + good  # a message whose sections do not fit
    whole = norvane.read_table(source, errors="skip")
    columns = ["message", "station_id", "pressure", "airTemperature"]
    expected_rows, expected_flat = observation_rows(whole, columns), flat_frame(whole)
    monkeypatch.setattr(table_module, "LAYOUT_WINDOW_OCTETS", octets)
    got_rows = norvane.read_table(source, errors="skip", columns=columns)
    got_flat = norvane.read_table(source, errors="skip", layout="flat")
    pd.testing.assert_frame_equal(got_rows, expected_rows)
    pd.testing.assert_frame_equal(got_flat, expected_flat)
    assert got_rows.attrs["skipped"] == got_flat.attrs["skipped"] == whole.skipped
    assert [s.index for s in whole.skipped] == [30]
    assert got_rows["message"].max() == 60


def test_the_walk_keeps_few_states_however_long_a_subset_is(monkeypatch):
    """A key that comes back below its first level (here under a second coordinate) keeps its
    place; the walk's states stay as few as the shapes of the context, not one per cycle."""
    from norvane import rows as module

    walks = []

    class Spy(module._Walk):
        def __init__(self, *args):
            super().__init__(*args)
            walks.append(self)

    monkeypatch.setattr(module, "_Walk", Spy)
    cycle = [(7004, "pressure", 50000), (12101, "airTemperature", 250.0), (7032, HEIGHT, 2.0),
             (12101, "airTemperature", 251.0)]
    frame = rows([[cycle * 3000]], ["airTemperature"])
    assert len(frame) == 6000
    assert len(walks[0].states) < 10
