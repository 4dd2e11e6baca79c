"""The flat layout: ranks restart per subset, columns are the union in first-seen order,
operators and replication factors are left out; columns, filters and required columns."""

import math

import pytest

from long_tables import HEADER_FIELDS, LongTable, station
from norvane.flat import flat_frame

T = (12101, "airTemperature")
WIND = (11002, "windSpeed")


def temperatures(*values):
    return [T + (v,) for v in values]


MESSAGES = [
    [station(1, 1, 10.0, 20.0) + temperatures(280.0, 281.0), station(1, 2, 11.0, 21.0) + temperatures(282.0)],
    [station(1, 3, 12.0, 22.0) + [WIND + (4.5,)] + temperatures(283.0, 284.0, 285.0)],
]


def cell(frame, row, column):
    value = frame[column].iloc[row]
    return None if isinstance(value, float) and math.isnan(value) else value


def test_ranks_restart_per_subset_and_columns_are_the_union_in_first_seen_order():
    frame = flat_frame(LongTable(MESSAGES))
    data = [c for c in frame.columns if c.startswith("#")]
    assert data == ["#1#blockNumber", "#1#stationNumber", "#1#latitude", "#1#longitude", "#1#airTemperature",
                    "#2#airTemperature", "#1#windSpeed", "#3#airTemperature"]
    assert [cell(frame, r, "#1#airTemperature") for r in range(3)] == [280.0, 282.0, 283.0]
    assert [cell(frame, r, "#2#airTemperature") for r in range(3)] == [281.0, None, 284.0]
    assert [cell(frame, r, "#3#airTemperature") for r in range(3)] == [None, None, 285.0]
    assert [cell(frame, r, "#1#windSpeed") for r in range(3)] == [None, None, 4.5]
    assert list(frame.columns[:len(HEADER_FIELDS) + 1]) == list(HEADER_FIELDS) + ["subset"]
    assert frame[["message", "subset"]].values.tolist() == [[0, 0], [0, 1], [1, 0]]


def test_operators_and_replication_factors_are_left_out():
    records = station(1, 1, 0, 0) + [(31001, "delayedDescriptorReplicationFactor", 2)] + temperatures(1.0, 2.0) + [
        (222000, "operator", 0), (31002, "extendedDelayedDescriptorReplicationFactor", 1),
        (31031, "dataPresentIndicator", 0), (33007, "percentConfidence", 70)]
    columns = [c for c in flat_frame(LongTable([[records]])).columns if c.startswith("#")]
    assert "#1#operator" not in columns
    assert not any("ReplicationFactor" in c for c in columns)
    assert columns[-2:] == ["#1#dataPresentIndicator", "#1#percentConfidence"]


@pytest.mark.parametrize("kwargs, shape_columns, stations", [
    (dict(columns=["stationNumber", "airTemperature"]),
     ["#1#stationNumber", "#1#airTemperature", "#2#airTemperature", "#3#airTemperature"], [1, 2, 3]),
    (dict(columns=["message", "#2#airTemperature", "stationNumber"]),
     ["message", "#1#stationNumber", "#2#airTemperature"], [1, 2, 3]),
    (dict(columns=["stationNumber"], filters={"airTemperature": 282.0}), ["#1#stationNumber"], [2]),  # any rank
    (dict(columns=["stationNumber"], filters={"#2#airTemperature": slice(281, None)}), ["#1#stationNumber"], [1, 3]),
    (dict(columns=["stationNumber"], filters={"message": 1}), ["#1#stationNumber"], [3]),
    (dict(columns=["stationNumber", "windSpeed"], required_columns=["windSpeed"]),
     ["#1#stationNumber", "#1#windSpeed"], [3]),
    (dict(columns=["stationNumber", "#2#airTemperature"], required_columns=True),
     ["#1#stationNumber", "#2#airTemperature"], [1, 3]),
])
def test_columns_filters_and_required(kwargs, shape_columns, stations):
    frame = flat_frame(LongTable(MESSAGES), **kwargs)
    assert list(frame.columns) == shape_columns
    assert frame["#1#stationNumber"].tolist() == stations


def test_text_columns_and_types():
    subsets = [station(1, n, 0.5, 0) + [(1015, "stationOrSiteName", name)] for n, name in ((1, "Hel"), (2, None))]
    frame = flat_frame(LongTable([subsets]))
    assert frame["#1#stationOrSiteName"].tolist()[0] == "Hel"
    assert frame["#1#stationOrSiteName"].isna().tolist() == [False, True]
    assert str(frame.dtypes["#1#stationNumber"]) == "int64"
    assert str(frame.dtypes["#1#latitude"]) == "float64"
