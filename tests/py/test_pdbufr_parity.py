"""pdbufr as an oracle for observation rows and the flat layout: the same calls on the first
messages of corpus files give the same frames.

Where we differ on purpose, the comparison says so:
- ``geometry``: pdbufr gives [longitude, latitude, heightOfStationGroundAboveMeanSeaLevel or 0];
  ours is the [longitude, latitude] pair a map or a GeoJSON point takes.
- dtypes: ecCodes types an element by its scale (integer when it has none); we use int64 only for
  codes, counts and date parts, so windDirection (deg) is float64 here. Values are compared.
- values differ in the last bit at most: ecCodes scales with its own arithmetic (69.02000000000001).
- text made of NUL octets (a blank aircraft flight number): ecCodes reads "", we keep the octets.
- a key that comes again under a coordinate opened after it: pdbufr overwrites the earlier
  value without a row, we give it a row (none of the calls below meets it; test_rows has it).
- flat: pdbufr leaves out the quality information that ecCodes attaches to elements as
  attributes (data present bits, percent confidence, and the centre and application that
  produced it); we keep it as ordinary ranked columns. Header fields have our names.
"""

import math

import numpy as np
import pandas as pd
import pytest

import norvane
from conftest import CORPUS, require, require_module
from norvane.table import read_table

pdbufr = pytest.importorskip("pdbufr")
ED4 = CORPUS / "bufr/derived_ed4"


def first_messages(name, count, tmp_path):
    """A file of the first `count` messages of a corpus file (pdbufr reads paths)."""
    data = require(ED4 / name).read_bytes()
    last = list(norvane.read(data))[:count][-1]
    path = tmp_path / name
    path.write_bytes(data[:last.offset + last.length])
    return path


def assert_same(ours, theirs, columns, exceptions=()):
    assert len(ours) == len(theirs)
    for name in columns:
        a, b = ours[name].reset_index(drop=True), theirs[name].reset_index(drop=True)
        if name in exceptions:
            continue
        if a.dtype.kind in "fiu" and b.dtype.kind in "fiu":
            x, y = a.to_numpy(float), b.to_numpy(float)
            same = (np.isnan(x) & np.isnan(y)) | np.isclose(x, y, rtol=1e-12, atol=0)
        elif a.dtype.kind == "M":
            same = (a == pd.to_datetime(b)).to_numpy() | (a.isna() & b.isna()).to_numpy()
        else:
            same = np.array([_text(u) == _text(v) for u, v in zip(a, b)])
        assert same.all(), f"{name}: ours {a[~same].head(3).tolist()}, pdbufr {b[~same].head(3).tolist()}"


def _text(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    return str(value).strip("\x00 ") or None


CASES = {
    # SYNOP: station, position, time and temperature of every report
    "synop": ("perf_synop.ed4.bufr", 600, ["WMO_station_id", "data_datetime", "latitude", "longitude",
                                           "airTemperatureAt2M"], {}),
    # TEMP: profiles by level for a few stations, between 850 and 200 hPa
    "temp": ("temp.ed4.bufr", 40, ["WMO_station_id", "latitude", "longitude", "pressure", "airTemperature",
                                   "dewpointTemperature", "windSpeed"],
             {"WMO_station_id": [71907, 71823, 89009], "pressure": slice(20000, 85000)}),
    # aircraft: flight, time and position of every report
    "aircraft": ("perf_aircraft.ed4.bufr", 300, ["aircraftFlightNumber", "data_datetime", "latitude",
                                                 "longitude", "height", "airTemperature"], {}),
    # a compressed satellite product: winds of every subset
    "satellite": ("cmwn_87.ed4.bufr", 2, ["latitude", "longitude", "pressure", "windDirection", "windSpeed"],
                  {"windSpeed": slice(10, None)}),
}


@pytest.mark.parametrize("case", CASES)
def test_observation_rows_match_pdbufr(case, tmp_path):
    require_module("eccodes")
    name, count, columns, filters = CASES[case]
    path = first_messages(name, count, tmp_path)
    theirs = pdbufr.read_bufr(str(path), columns=columns, filters=filters)
    ours = read_table(path, columns=columns, filters=filters)
    assert list(ours.columns) == columns
    assert len(ours) > 10
    assert_same(ours, theirs[columns], columns)


def test_geometry_is_a_longitude_latitude_pair(tmp_path):
    path = first_messages("perf_synop.ed4.bufr", 50, tmp_path)
    theirs = pdbufr.read_bufr(str(path), columns=["geometry"])
    ours = read_table(path, columns=["geometry"])
    assert len(ours) == len(theirs)
    for pair, triple in zip(ours["geometry"], theirs["geometry"]):
        assert np.allclose(pair, triple[:2], rtol=1e-12, atol=0)


@pytest.mark.filterwarnings("ignore:not all BUFR messages")
def test_flat_layout_matches_pdbufr_flat(tmp_path):
    path = first_messages("perf_synop.ed4.bufr", 60, tmp_path)
    theirs = pdbufr.read_bufr(str(path), flat=True)
    ours = read_table(path, layout="flat")
    data = [c for c in theirs.columns if c.startswith("#")]
    assert data and set(data) <= set(ours.columns)
    assert_same(ours, theirs, data)
    extra = {c.split("#")[2] for c in ours.columns if c.startswith("#") and c not in theirs.columns}
    assert extra <= {"dataPresentIndicator", "percentConfidence", "centre", "generatingApplication"}
