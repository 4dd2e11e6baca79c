"""The same random data packed both ways, subset by subset and in compressed columns, decodes to
the same records.

A random descriptor tree (sequences, fixed and delayed replications, operators 201 to 208,
markers, data present bitmaps with 223255 / 225255 values) is walked once by a small model that
knows only which fields it reads and how wide they are; it picks the values, one per subset (the
same in every subset where the compressed layout needs that: replication factors and bitmap
entries).
"""

import random

import pytest

from bufr_writer import build_message, compressed_fields, uncompressed_fields, write_table_dir
from norvane import _norvane

NUMERIC = {1001: 7, 1002: 10, 2001: 2, 8002: 8, 12101: 16, 12103: 12, 31001: 8, 31031: 1}
TEXT = {1015: 32}
CODE_OR_FLAG = {2001, 31031}  # 201, 202 and 207 leave their width and scale alone
ELEMENTS = [
    (1001, "BLOCK", "Numeric", 0, 0, 7), (1002, "STATION", "Numeric", 0, 0, 10),
    (1015, "NAME", "CCITT IA5", 0, 0, 32), (2001, "TYPE", "CODE TABLE", 0, 0, 2),
    (8002, "EIGHT BITS", "Numeric", 0, 0, 8), (12101, "TEMPERATURE", "K", 2, 0, 16),
    (12103, "DEW-POINT", "K", 2, -100, 12), (31001, "FACTOR", "Numeric", 0, 0, 8),
    (31031, "PRESENT", "FLAG TABLE", 0, 0, 1),
]
SEQUENCES = {301001: [1001, 1002], 301002: [201131, 12101, 201000]}
POOL = [1001, 1002, 1015, 2001, 8002, 12101, 12103]
MARKERS = [222000, 223000, 224000, 235000, 237000, 237255, 241000, 223255, 221005, 243000]
STATE_OPERATORS = [201131, 201120, 202129, 207001, 204003, 204001, 208002]  # each reset by its X000
TEXTS = [b"AB  ", b" xy ", b"\xff\xff\xff\xff", b"Q\x80\x00 ", b"    "]


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    path = write_table_dir(tmp_path_factory.mktemp("tables"), ELEMENTS, SEQUENCES, {2001: {0: "Zero", 1: "One"}})
    return _norvane.TableSet.from_eccodes(str(path))


def random_group(rng, depth):
    """Nodes: ("el", code), ("op", code), ("seq", code), ("fixed", y, nodes), ("delayed", factor, nodes)."""
    nodes = []
    for _ in range(rng.randint(1, 4)):
        r = rng.random()
        if depth < 3 and r < 0.12:
            nodes.append(("fixed", rng.randint(1, 3), random_group(rng, depth + 1)))
        elif depth < 3 and r < 0.24:
            nodes.append(("delayed", rng.choice([31001, 31001, 8002]), random_group(rng, depth + 1)))
        elif r < 0.30:
            nodes.append(("seq", rng.choice(list(SEQUENCES))))
        elif r < 0.38:  # a bitmap over the last few elements, then values for the present ones
            kind = rng.choice([223000, 224000, 225000, 232000])
            nodes += [("op", 236000), ("fixed", rng.randint(1, 4), [("el", 31031)]), ("op", kind)]
            nodes += [("op", kind + 255)] * rng.randint(1, 4) + [("op", 237000), ("op", kind + 255)] * rng.randint(0, 1)
        elif r < 0.55:
            operator = rng.choice(STATE_OPERATORS)
            nodes += [("op", operator), *random_group(rng, depth + 1), ("op", operator // 1000 * 1000)]
        elif r < 0.60:
            nodes += [("op", rng.choice([206000, 206003, 206012])), ("el", rng.choice([1002, 12101]))]
        elif r < 0.68:
            nodes.append(("op", rng.choice(MARKERS)))
        elif r < 0.72:
            nodes.append(("op", 205000 + rng.randint(0, 3)))
        else:
            nodes.append(("el", rng.choice(POOL)))
    return nodes


class Refused(Exception):
    """A tree the format cannot carry (a group of more than 63 descriptors) or that would make the
    decode fail (a bitmap reaching past the history): draw another."""


def emit(nodes):
    out = []
    for node in nodes:
        if node[0] in ("el", "op", "seq"):
            out.append(node[1])
        else:
            body = emit(node[2])
            if len(body) > 63:
                raise Refused
            out += [100000 + 1000 * len(body) + (node[1] if node[0] == "fixed" else 0)]
            out += [node[1]] * (node[0] == "delayed") + body
    return out


class Model:
    """Walks a tree as the decoder does, as far as widths go, and draws the columns' values."""

    def __init__(self, rng, subsets):
        self.rng, self.n, self.columns, self.history = rng, subsets, [], []
        self.width_change, self.scale_change, self.override, self.text_width, self.assoc = 0, 0, None, None, 0
        self.defining, self.present, self.length, self.cursor, self.anchor = False, [], 0, 0, 0

    def walk(self, nodes):
        for node in nodes:
            if node[0] == "el":
                self.element(node[1])
            elif node[0] == "seq":
                self.walk([("op" if code >= 200000 else "el", code) for code in SEQUENCES[node[1]]])
            elif node[0] == "op":
                self.operator(node[1])
            elif node[0] == "fixed":
                for _ in range(node[1]):
                    self.walk(node[2])
            else:
                for _ in range(self.factor(node[1])):
                    self.walk(node[2])
        return self.columns

    def numeric(self, width, missing_allowed, value=None):
        top = 2**width - 1 if missing_allowed else 2**width  # present values lie below
        if value is None and top > 0 and self.rng.random() < 0.3:
            value = self.rng.randrange(top)
        if value is not None or top == 0:
            values = [value] * self.n
        else:
            values = [None if missing_allowed and self.rng.random() < 0.2 else self.rng.randrange(top)
                      for _ in range(self.n)]
        self.columns.append(("numeric", width, values))
        return values[0]

    def text(self, width):
        octets = (width + 7) // 8
        draw = [(self.rng.choice(TEXTS) * 3)[:octets] for _ in range(self.n)]
        self.columns.append(("text", width, [draw[0]] * self.n if width % 8 else draw))  # whole octets vary

    def width(self, code, extra=0):
        change = 0 if code in CODE_OR_FLAG else self.width_change
        return self.override if self.override is not None else max(0, NUMERIC[code] + extra + change)

    def value(self, code, difference=False):
        if code in TEXT:
            self.text(self.text_width or TEXT[code] + difference)
        else:
            self.numeric(self.width(code, difference), code // 1000 % 100 != 31)

    def associated_field(self, code):
        if self.assoc and code // 1000 % 100 != 31:
            self.numeric(self.assoc, False)

    def element(self, code):
        self.associated_field(code)
        if code == 31031 and self.defining:
            width = self.width(code)
            raw = self.numeric(width, False, self.rng.choice([0, 1, 10]) % 2**width)
            self.present += [self.length] * (raw != 1)
            self.length += 1
        else:
            self.value(code)
            self.history.append(code)
        self.override = None  # after a plain element, text or not

    def factor(self, code):
        self.associated_field(code)
        width, missing_allowed = self.width(code), code != 31001
        top = 2**width - 1 if missing_allowed else 2**width
        unit = 10**self.scale_change  # a factor is its scaled value, truncated
        raw = self.rng.randint(0, 3) * unit + self.rng.randrange(unit)
        count = self.numeric(width, missing_allowed, min(raw, top - 1) if top > 0 else None)
        self.history.append(code)
        return 0 if count is None else self.scaled(count)

    def scaled(self, raw):  # the integer part of a factor or bitmap entry (their Table B scale is 0)
        return raw // 10**self.scale_change
    def operator(self, code):
        x, y = code // 1000 % 100, code % 1000
        if x == 5:
            self.text(8 * y)
        elif y == 255 and x in (23, 24, 25, 32):
            if self.cursor < len(self.present):
                at = self.present[self.cursor] + max(self.anchor - self.length, 0)
                self.cursor += 1
                if at >= len(self.history):
                    raise Refused
                self.value(self.history[at], x == 25)
        elif x in (22, 23, 24, 25, 32, 35, 36, 37, 41):
            self.columns.append(("marker", 0, [0] * self.n))
            if x == 36:
                self.defining, self.present, self.length, self.cursor = True, [], 0, 0
                self.anchor = len(self.history)
            elif x == 35 or (x == 37 and y):
                self.present, self.length, self.cursor, self.anchor = [], 0, 0, 0
            elif x == 37:
                self.cursor = 0
        elif x == 1:
            self.width_change = y - 128 if y else 0
        elif x == 2:
            self.scale_change = y - 128 if y else 0
        elif x == 4:
            self.assoc = y
        elif x == 6:
            self.override = y
        elif x == 7:
            self.width_change, self.scale_change = (10 * y + 2) // 3, y
        elif x == 8:
            self.text_width = 8 * y or None


def draw(rng):
    while True:
        subsets, nodes = rng.randint(1, 4), random_group(rng, 0)
        try:
            descriptors = emit(nodes)
            return subsets, descriptors, Model(rng, subsets).walk(nodes)
        except Refused:
            continue


def expected_raw(kind, width, value):
    if kind == "marker":
        return 0
    if kind == "text":
        return None
    return 2**width - 1 if value is None else value


@pytest.mark.parametrize("seed", range(80))
def test_layouts_agree(tables, seed):
    subsets, descriptors, columns = draw(random.Random(seed))
    plain = _norvane.decode_values_with_tables(
        build_message(descriptors, uncompressed_fields(columns, subsets), subsets=subsets), tables)
    packed = _norvane.decode_values_with_tables(
        build_message(descriptors, compressed_fields(columns), subsets=subsets, compressed=True), tables)

    def comparable(v):  # text reference numbers count texts in different orders
        return (v.descriptor, v.name, v.raw, v.raw_text, v.raw_meaning, None if v.raw is None else v.raw_value)
    assert [comparable(v) for v in packed] == [comparable(v) for v in plain]
    # Both read what the model wrote, field by field.
    assert [v.raw for v in plain] == [expected_raw(kind, width, values[s])
                                      for s in range(subsets) for kind, width, values in columns]
