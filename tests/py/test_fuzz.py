"""Mutated corpus messages: every call returns or raises ValueError.

Each seed message is mutated a few hundred times with a fixed random seed, and every mutant
goes through all the entry points that take message octets. (Crafted messages that stand for
enormous work are in test_decode_bounds.py.)
"""

from __future__ import annotations

import random
from pathlib import Path

import pytest

from bufr_writer import assemble, pack_bits, section3, section4
from conftest import CORPUS, DEFINITIONS, require
from norvane import _norvane, iter_message_bytes

MUTANTS_PER_SEED = 400

SEEDS = [
    ("bufr/pybufrkit/data/contrived.bufr", 0),  # delayed replications, two subsets
    ("bufr/pybufrkit/data/uegabe.bufr", 0),  # associated fields, 205YYY
    ("bufr/pybufrkit/data/ISMD01_OKPR.bufr", 0),  # compressed, texts
    ("bufr/pybufrkit/data/IUSK73_AMMC_182300.bufr", 0),  # long TEMP profile, texts, 205060
    ("bufr/pybufrkit/data/g2nd_208.bufr", 0),  # compressed, 236000 bitmap and 224255 values
    ("bufr/pybufrkit/benchmark_data/gsd3_208.bufr", 0),  # the same uncompressed
    ("bufr/pybufrkit/benchmark_data/ikco_217.bufr", 0),  # compressed, 237000 bitmap reuse
    ("bufr/pybufrkit/benchmark_data/ISND02_LLBD.bufr", 0),  # 203YYY new reference values
    ("bufr/pybufrkit/benchmark_data/aaen_55.bufr", 0),  # local tables that are absent
    ("bufr/derived_ed4/temp.ed4.bufr", 100),  # bitmaps right after 222000 / 223000, 223255
    ("bufr/derived_ed4/cmwn_87.ed4.bufr", 0),  # compressed, 128 subsets, 222000 / 237000
    ("bufr/derived_ed4/perf_synop.ed4.bufr", 0),
    ("bufr/derived_ed4/perf_aircraft.ed4.bufr", 0),
]
# Codes a mutated section 3 may hold besides the seed's own: operators, replications, factors, undefined codes.
OPERATORS = [
    201000, 201001, 201129, 201255, 202000, 202126, 202130, 203000, 203014, 203255, 204000,
    204001, 204007, 204064, 205000, 205010, 205255, 206000, 206010, 206064, 207000, 207003,
    207255, 208000, 208010, 208255, 221005, 222000, 222001, 223000, 223255, 224000, 224255,
    225000, 225255, 232000, 232255, 235000, 236000, 237000, 237255, 241000, 243000, 262000,
]
REPLICATIONS = [100000 + 1000 * x + y for x in (1, 2, 3, 5, 63) for y in (0, 1, 2, 255)]
FACTORS = [31000, 31001, 31002, 31011, 31012]
STRAYS = [63255, 13255, 363255, 301255, 301001, 301011, 303051]

require(CORPUS / "inventory.tsv")
require(DEFINITIONS)


def resolve(path: Path) -> Path:
    while path.is_file():  # an alias file names a sibling directory
        path = path.parent / path.read_text().strip()
    return path


class Seed:
    def __init__(self, path, index):
        self.octets = list(iter_message_bytes((CORPUS / path).read_bytes()))[index]
        m = self.message = _norvane.parse_bytes(self.octets)
        self.tables = _norvane.TableSet.from_definitions(str(DEFINITIONS), m)
        self.s3 = 8 + m.section1_length + m.section2_length
        self.s4 = self.s3 + m.section3_length
        self.descriptors = list(m.unexpanded_descriptors)
        self.data = self.octets[m.section4_data_offset:m.section4_data_offset + m.section4_data_length]
        self.elements = sorted(c for c in set(self.tables.expand(self.descriptors)) if c < 100000)
        self.sequences = sorted(c for c in set(self.descriptors) if 300000 <= c < 400000)

    def rebuild(self, descriptors=None, data=None, subsets=None, compressed=None):
        m = self.message
        return assemble(self.octets[8:self.s3], section3(
            descriptors or self.descriptors, subsets=m.number_of_subsets if subsets is None else subsets,
            observed=m.observed_data, compressed=m.compressed_data if compressed is None else compressed,
            extra=self.octets[self.s3 + 7 + 2 * len(self.descriptors):self.s4],
        ), section4(self.data if data is None else data))


def flip_bits(seed, rnd, data_only=False):
    out = bytearray(seed.octets)
    start, span = (seed.message.section4_data_offset, len(seed.data)) if data_only else (0, len(out))
    for bit in (rnd.randrange(8 * span) for _ in range(rnd.randint(1, 8 - 4 * data_only))):
        out[start + bit // 8] ^= 0x80 >> (bit % 8)
    return bytes(out)


def overwrite_bytes(seed, rnd):
    out, at, run = bytearray(seed.octets), rnd.randrange(len(seed.octets)), rnd.randint(1, 4)
    out[at:at + run] = bytes(rnd.randrange(256) for _ in range(run))
    return bytes(out[:len(seed.octets)])


def fill_data_run(seed, rnd):  # all ones (huge factors and counts, missing values) or all zeros
    out, start = bytearray(seed.octets), seed.message.section4_data_offset
    at = start + rnd.randrange(len(seed.data))
    end = min(at + rnd.randint(1, 8), start + len(seed.data))
    out[at:end] = bytes([rnd.choice((0xFF, 0x00))]) * (end - at)
    return bytes(out)


def change_length(seed, rnd):  # the total length, or that of section 1, 3 or 4
    at = rnd.choice((4, 8, seed.s3, seed.s4))
    old = int.from_bytes(seed.octets[at:at + 3], "big")
    new = rnd.choice((0, 1, 3, 7, old - 1, old + 1, old + 2, 2 * old, 0xFFFFFF, rnd.randrange(1 << 24)))
    return seed.octets[:at] + (new % (1 << 24)).to_bytes(3, "big") + seed.octets[at + 3:]


def change_table_version(seed, rnd):  # master or local: other tables from a definitions root
    at = 8 + rnd.choice((13, 14))
    return seed.octets[:at] + bytes([rnd.choice((0, 1, 12, 40, 101, 255, rnd.randrange(256)))]) + seed.octets[at + 1:]


def edit_descriptors(seed, rnd):  # some codes replaced by, or preceded by, other valid-looking codes
    descriptors = list(seed.descriptors)
    for _ in range(rnd.randint(1, 3)):
        pool = (seed.elements, seed.elements, seed.sequences or STRAYS, OPERATORS, REPLICATIONS, FACTORS, STRAYS)
        at = rnd.randrange(len(descriptors))
        descriptors[at:at + rnd.randint(0, 1)] = [rnd.choice(rnd.choice(pool))]
    return seed.rebuild(descriptors=descriptors)


def replicate_everything(seed, rnd):
    """The descriptor list repeated up to 255 times, or delayed by an all-ones factor put in front of the
    data (compressed: an all-ones factor with no increments)."""
    body = seed.descriptors[:63]
    if rnd.random() < 0.4:
        return seed.rebuild(descriptors=[100000 + 1000 * len(body) + rnd.choice((2, 17, 255)), *body])
    code, width = rnd.choice(((31000, 1), (31001, 8), (31002, 16)))
    fields = [((1 << width) - 1, width), *[(0, 6)] * seed.message.compressed_data]
    data = pack_bits([*fields, (int.from_bytes(seed.data, "big"), 8 * len(seed.data))])
    return seed.rebuild(descriptors=[100000 + 1000 * len(body), code, *body], data=data)


MUTATIONS = [  # an odd count, so that every mutation meets every entry point
    flip_bits, lambda seed, rnd: flip_bits(seed, rnd, data_only=True), overwrite_bytes, fill_data_run,
    fill_data_run, change_length, change_table_version, edit_descriptors, edit_descriptors, edit_descriptors,
    replicate_everything,
    lambda seed, rnd: seed.octets[:rnd.randrange(len(seed.octets))],
    lambda seed, rnd: seed.rebuild(data=seed.data[:rnd.randrange(len(seed.data) + 1)]),
    lambda seed, rnd: seed.rebuild(subsets=rnd.choice((0, 1, 2, 3, 255, 256, 4096, 65535, rnd.randrange(65536)))),
    lambda seed, rnd: seed.rebuild(compressed=not seed.message.compressed_data),
]


def call(function, *args):
    """The records as tuples, or the text of the ValueError; nothing else is an orderly outcome."""
    try:
        result = function(*args)
    except ValueError as error:
        return str(error)
    if function.__name__.startswith("decode"):
        return [(v.descriptor, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in result]
    return result


def table_fields(m):
    return (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
            m.originating_centre, m.originating_subcentre)


@pytest.mark.parametrize(("seed_path", "seed_index"), SEEDS, ids=[f"{Path(p).name}#{i}" for p, i in SEEDS])
def test_mutants_return_or_raise_value_error(seed_path, seed_index):
    seed = Seed(seed_path, seed_index)
    m, tables = seed.message, seed.tables
    table_dir = str(resolve(DEFINITIONS / f"bufr/tables/{m.master_table_number}/wmo/{m.master_tables_version_number}"))
    rnd = random.Random(f"{seed_path}#{seed_index}")
    failed = 0
    for n in range(MUTANTS_PER_SEED):
        mutation = MUTATIONS[n % len(MUTATIONS)]
        mutant = mutation(seed, rnd)
        what = f"mutant {n} ({mutation.__name__})"
        parsed = call(_norvane.parse_bytes, mutant)
        call(_norvane.parse_all_bytes, mutant)
        with_tables = call(_norvane.decode_values_with_tables, mutant, tables)
        failed += isinstance(with_tables, str)
        if n % 4:
            continue  # the other two load their tables on every call
        # The same tables reached another way give the same outcome, value for value; a message that
        # does not parse fails before any table is looked at.
        with_definitions = call(_norvane.decode_values_with_definitions, mutant, str(DEFINITIONS))
        with_dir = call(_norvane.decode_values, mutant, table_dir)
        if isinstance(parsed, str):
            assert isinstance(with_tables, str) and with_definitions == with_tables == with_dir, what
        elif table_fields(parsed) == table_fields(m):
            assert with_definitions == with_tables, what
            assert with_dir == with_tables or m.local_tables_version_number, what
    assert 0 < failed < MUTANTS_PER_SEED  # the mutations neither all break the message nor all leave it intact
