"""Long tables written by hand for the layout tests: each subset a list of (descriptor, key,
value) records, value a number, a str (text) or None (missing); the API is the long table's
public one (``to_arrow``, ``headers``, ``skipped``)."""

import datetime

import pyarrow as pa

UNITS = {1: "Numeric", 2: "CODE TABLE", 4: "a", 5: "deg", 6: "deg", 7: "m", 8: "CODE TABLE", 10: "Pa", 11: "m/s",
         12: "K", 20: "CODE TABLE", 31: "Numeric", 33: "%"}
TEXT_KEYS = {"stationOrSiteName", "aircraftFlightNumber", "wigosLocalIdentifierCharacter"}
HEADER_FIELDS = ("message", "offset", "edition", "master_table", "centre", "subcentre", "data_category",
                 "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
                 "typical_datetime", "number_of_subsets", "observed", "compressed", "table_source")


class LongTable:
    def __init__(self, messages, centres=None):
        """`messages`: a list of messages, each a list of subsets."""
        columns = {name: [] for name in ("message", "subset", "descriptor", "key", "value", "raw", "text",
                                         "meaning", "unit")}
        for m, subsets in enumerate(messages):
            for s, records in enumerate(subsets):
                for descriptor, key, value in records:
                    operator = descriptor >= 200000
                    text = key in TEXT_KEYS
                    columns["message"].append(m)
                    columns["subset"].append(s)
                    columns["descriptor"].append(descriptor)
                    columns["key"].append("operator" if operator else key)
                    columns["value"].append(None if text or value is None else float(value))
                    columns["raw"].append(None if text or value is None else 0)
                    columns["text"].append(value if text else None)
                    columns["meaning"].append(None)
                    columns["unit"].append(None if operator else "CCITT IA5" if text else
                                           UNITS.get(descriptor // 1000, "Numeric"))
        words = pa.dictionary(pa.int32(), pa.string())
        schema = pa.schema([("message", pa.int32()), ("subset", pa.int32()), ("descriptor", pa.int32()),
                            ("key", words), ("value", pa.float64()), ("raw", pa.uint64()), ("text", words),
                            ("meaning", words), ("unit", words)])
        self._arrow = pa.table(columns, schema=schema)
        self.skipped = []
        centres = centres or [98] * len(messages)
        self._headers = {name: [] for name in HEADER_FIELDS}
        for m, subsets in enumerate(messages):
            row = dict(message=m, offset=100 * m, edition=4, master_table=0, centre=centres[m], subcentre=0,
                       data_category=0, international_subcategory=None, local_subcategory=1,
                       master_table_version=38, local_table_version=0,
                       typical_datetime=datetime.datetime(2024, 1, 2, 12), number_of_subsets=len(subsets),
                       observed=True, compressed=False, table_source="test")
            for name in HEADER_FIELDS:
                self._headers[name].append(row[name])

    def to_arrow(self):
        return self._arrow

    def __arrow_c_stream__(self, requested_schema=None):
        return self._arrow.__arrow_c_stream__(requested_schema)

    def headers(self):
        return self._headers


def station(block, number, lat, lon):
    return [(1001, "blockNumber", block), (1002, "stationNumber", number), (5001, "latitude", lat),
            (6001, "longitude", lon)]
