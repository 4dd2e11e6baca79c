"""Mutated corpus messages and hostile crafted ones: every call returns or raises ValueError, fast.

Each seed message is mutated a few hundred times (bit flips, byte overwrites, truncations,
inflated counts and lengths, descriptors replaced by other valid-looking codes, the whole
descriptor list put under a huge replication) with a fixed random seed, and every mutant goes
through all the entry points that take message octets. A call may return or raise ValueError;
any other exception, a crash, a call slower than ``CALL_LIMIT`` or a peak memory growth of
more than ``RSS_LIMIT`` fails the test.
"""

from __future__ import annotations

import faulthandler
import os
import random
import resource
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from bufr_writer import assemble, build_message, pack_bits, section3, section4
from conftest import CORPUS
from norvane import _norvane, iter_message_bytes

DEFINITIONS = Path("/usr/share/eccodes/definitions")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CALL_LIMIT = 2.0 * (5 if SANITIZED else 1)  # seconds for one call, however hostile its input
RSS_LIMIT = 1 << 30  # bytes of peak resident memory growth in one test
MUTANTS_PER_SEED = 400
FULL_TABLE_LOADS_EVERY = 4  # decode_values / decode_values_with_definitions load tables per call

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

OPERATORS = [
    201000, 201001, 201129, 201255, 202000, 202126, 202130, 203000, 203014, 203255, 204000,
    204001, 204007, 204064, 205000, 205010, 205255, 206000, 206010, 206064, 207000, 207003,
    207255, 208000, 208010, 208255, 221005, 222000, 222001, 223000, 223255, 224000, 224255,
    225000, 225255, 232000, 232255, 235000, 236000, 237000, 237255, 241000, 243000, 262000,
]
FACTORS = [31000, 31001, 31002, 31011, 31012]

pytestmark = pytest.mark.skipif(
    not (CORPUS / "inventory.tsv").exists() or not DEFINITIONS.is_dir(),
    reason="no corpus or no ecCodes definitions",
)


def resolve(path: Path) -> Path:
    while path.is_file():  # an alias file names a sibling directory
        path = path.parent / path.read_text().strip()
    return path


def max_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


@pytest.fixture(autouse=True)
def bounded():
    """A watchdog that turns a hang into a failure (with the stack of every thread), and the
    peak memory growth of each test."""
    start = max_rss()
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    assert max_rss() - start < RSS_LIMIT


# ---------------------------------------------------------------------------------------------
# A seed message taken apart, and the mutations


@dataclass
class Seed:
    octets: bytes
    message: _norvane.BufrMessage
    section1: bytes
    section2: bytes
    descriptors: list[int]
    section3_extra: bytes
    data: bytes

    @classmethod
    def load(cls, path, index):
        octets = list(iter_message_bytes((CORPUS / path).read_bytes()))[index]
        m = _norvane.parse_bytes(octets)
        s1 = octets[8:8 + m.section1_length]
        s2 = octets[8 + m.section1_length:8 + m.section1_length + m.section2_length]
        s3_start = 8 + m.section1_length + m.section2_length
        s3 = octets[s3_start:s3_start + m.section3_length]
        descriptors = list(m.unexpanded_descriptors)
        data = octets[m.section4_data_offset:m.section4_data_offset + m.section4_data_length]
        return cls(octets, m, s1, s2, descriptors, s3[7 + 2 * len(descriptors):], data)

    def rebuild(self, *, descriptors=None, data=None, subsets=None, compressed=None):
        m = self.message
        return assemble(
            self.section1,
            self.section2,
            section3(
                self.descriptors if descriptors is None else descriptors,
                subsets=m.number_of_subsets if subsets is None else subsets,
                observed=m.observed_data,
                compressed=m.compressed_data if compressed is None else compressed,
                extra=self.section3_extra,
            ),
            section4(self.data if data is None else data),
        )

    def section_offsets(self):
        m = self.message
        s1 = 8
        s2 = s1 + m.section1_length
        s3 = s2 + m.section2_length
        s4 = s3 + m.section3_length
        return s1, s3, s4


def code_pool(seed: Seed, tables: _norvane.TableSet):
    """Codes that look like what a section 3 holds: the seed's own elements and sequences,
    operators, replications, factors, and a few codes that no table defines."""
    elements = sorted(set(tables.expand(seed.descriptors)) - {999999})
    elements = [c for c in elements if c < 100000]
    sequences = sorted({c for c in seed.descriptors if c >= 300000})
    replications = [100000 + 1000 * x + y for x in (1, 2, 3, 5, 63) for y in (0, 1, 2, 255)]
    strays = [63255, 13255, 363255, 301255]
    return elements, sequences + [301001, 301011, 303051], replications, strays


def flip_bits(seed, rnd, pool):
    out = bytearray(seed.octets)
    for _ in range(rnd.randint(1, 8)):
        bit = rnd.randrange(8 * len(out))
        out[bit // 8] ^= 0x80 >> (bit % 8)
    return bytes(out)


def flip_data_bits(seed, rnd, pool):
    out = bytearray(seed.octets)
    start = seed.message.section4_data_offset
    for _ in range(rnd.randint(1, 4)):
        bit = rnd.randrange(8 * max(1, len(seed.data)))
        out[start + bit // 8] ^= 0x80 >> (bit % 8)
    return bytes(out)


def overwrite_bytes(seed, rnd, pool):
    out = bytearray(seed.octets)
    at = rnd.randrange(len(out))
    run = rnd.randint(1, 4)
    out[at:at + run] = bytes(rnd.randrange(256) for _ in range(run))
    return bytes(out[:len(seed.octets)])


def fill_data_run(seed, rnd, pool):
    """All ones (huge factors and counts, missing values) or all zeros over a run of data."""
    out = bytearray(seed.octets)
    start = seed.message.section4_data_offset
    at = start + rnd.randrange(max(1, len(seed.data)))
    run = rnd.randint(1, 8)
    fill = rnd.choice((0xFF, 0x00))
    end = min(at + run, start + len(seed.data))
    out[at:end] = bytes([fill]) * (end - at)
    return bytes(out)


def truncate(seed, rnd, pool):
    return seed.octets[:rnd.randrange(len(seed.octets))]


def shorten_data(seed, rnd, pool):
    """A consistent message whose data section ends early."""
    return seed.rebuild(data=seed.data[:rnd.randrange(len(seed.data) + 1)])


def change_subsets(seed, rnd, pool):
    subsets = rnd.choice((0, 1, 2, 3, 255, 256, 4096, 65535, rnd.randrange(65536)))
    return seed.rebuild(subsets=subsets)


def toggle_compression(seed, rnd, pool):
    return seed.rebuild(compressed=not seed.message.compressed_data)


def change_length(seed, rnd, pool):
    """A declared length (total, section 1, 3 or 4) replaced by another 24-bit number."""
    s1, s3, s4 = seed.section_offsets()
    at = rnd.choice((4, s1, s3, s4))
    old = int.from_bytes(seed.octets[at:at + 3], "big")
    new = rnd.choice((0, 1, 3, 7, old - 1, old + 1, old + 2, 2 * old, 0xFFFFFF, rnd.randrange(1 << 24)))
    out = bytearray(seed.octets)
    out[at:at + 3] = (new % (1 << 24)).to_bytes(3, "big")
    return bytes(out)


def change_table_version(seed, rnd, pool):
    """Section 1 master or local table version (the tables chosen from a definitions root)."""
    out = bytearray(seed.octets)
    out[8 + rnd.choice((13, 14))] = rnd.choice((0, 1, 12, 40, 101, 255, rnd.randrange(256)))
    return bytes(out)


def random_code(rnd, pool):
    elements, sequences, replications, strays = pool
    kind = rnd.random()
    if kind < 0.35:
        return rnd.choice(elements)
    if kind < 0.55:
        return rnd.choice(OPERATORS)
    if kind < 0.7:
        return rnd.choice(replications)
    if kind < 0.8:
        return rnd.choice(FACTORS)
    if kind < 0.93:
        return rnd.choice(sequences)
    return rnd.choice(strays)


def replace_descriptors(seed, rnd, pool):
    descriptors = list(seed.descriptors)
    for _ in range(rnd.randint(1, 3)):
        descriptors[rnd.randrange(len(descriptors))] = random_code(rnd, pool)
    return seed.rebuild(descriptors=descriptors)


def insert_descriptors(seed, rnd, pool):
    descriptors = list(seed.descriptors)
    for _ in range(rnd.randint(1, 3)):
        descriptors.insert(rnd.randrange(len(descriptors) + 1), random_code(rnd, pool))
    return seed.rebuild(descriptors=descriptors)


def replicate_everything(seed, rnd, pool):
    """The whole descriptor list repeated: fixed (up to 255 times) or delayed with an all-ones
    factor put in front of the data (in a compressed message, a block of all-ones with no
    increments)."""
    body = seed.descriptors[:63]
    x = len(body)
    if rnd.random() < 0.4:
        return seed.rebuild(descriptors=[100000 + 1000 * x + rnd.choice((2, 17, 255)), *body])
    factor = rnd.choice(((31000, 1), (31001, 8), (31002, 16)))
    code, width = factor
    fields = [((1 << width) - 1, width)]
    if seed.message.compressed_data:
        fields.append((0, 6))
    data = pack_bits([*fields, (int.from_bytes(seed.data, "big"), 8 * len(seed.data))])
    return seed.rebuild(descriptors=[100000 + 1000 * x, code, *body], data=data)


MUTATIONS = [
    flip_bits, flip_data_bits, overwrite_bytes, fill_data_run, fill_data_run, truncate,
    shorten_data, change_subsets, toggle_compression, change_length, change_table_version,
    replace_descriptors, replace_descriptors, insert_descriptors, replicate_everything,
]


# ---------------------------------------------------------------------------------------------
# Calls


class Clock:
    def __init__(self):
        self.slowest = (0.0, "")

    def call(self, what, function, *args):
        """("ok", result) or ("error", text); only ValueError counts as an orderly failure."""
        start = time.perf_counter()
        try:
            outcome = ("ok", function(*args))
        except ValueError as error:
            outcome = ("error", str(error))
        elapsed = time.perf_counter() - start
        if elapsed > self.slowest[0]:
            self.slowest = (elapsed, what)
        return outcome


def rows(outcome):
    kind, result = outcome
    if kind == "error":
        return outcome
    return kind, [(v.descriptor, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in result]


def table_fields(message):
    return (message.master_table_number, message.master_tables_version_number,
            message.local_tables_version_number, message.originating_centre,
            message.originating_subcentre)


@pytest.mark.parametrize("seed_path, seed_index", SEEDS, ids=[f"{Path(p).name}#{i}" for p, i in SEEDS])
def test_mutants_return_or_raise_value_error(seed_path, seed_index):
    seed = Seed.load(seed_path, seed_index)
    tables = _norvane.TableSet.from_definitions(str(DEFINITIONS), seed.message)
    table_dir = str(resolve(DEFINITIONS / "bufr" / "tables" / str(seed.message.master_table_number)
                            / "wmo" / str(seed.message.master_tables_version_number)))
    rnd = random.Random(f"{seed_path}#{seed_index}")
    pool = code_pool(seed, tables)
    clock = Clock()
    counts = {"decoded": 0, "failed": 0}
    for n in range(MUTANTS_PER_SEED):
        mutation = MUTATIONS[n % len(MUTATIONS)]
        mutant = mutation(seed, rnd, pool)
        what = f"mutant {n} ({mutation.__name__})"

        parsed = clock.call(what, _norvane.parse_bytes, mutant)
        clock.call(what, _norvane.parse_all_bytes, mutant)
        with_tables = rows(clock.call(what, _norvane.decode_values_with_tables, mutant, tables))
        counts["decoded" if with_tables[0] == "ok" else "failed"] += 1
        if n % FULL_TABLE_LOADS_EVERY:
            continue
        # The same tables reached another way give the same outcome, value for value.
        with_definitions = rows(clock.call(what, _norvane.decode_values_with_definitions, mutant, str(DEFINITIONS)))
        with_dir = rows(clock.call(what, _norvane.decode_values, mutant, table_dir))
        if parsed[0] == "ok" and table_fields(parsed[1]) == table_fields(seed.message):
            assert with_definitions == with_tables, what
            if seed.message.local_tables_version_number == 0:
                assert with_dir == with_tables, what
        elif parsed[0] == "error":
            # A message that does not parse is reported before any table is looked at.
            assert with_definitions == with_tables == with_dir, what
            assert with_tables[0] == "error", what
    assert clock.slowest[0] < CALL_LIMIT, f"{clock.slowest[1]} took {clock.slowest[0]:.2f} s"
    # The mutations neither all break the message nor all leave it intact.
    assert counts["decoded"] and counts["failed"], counts


# ---------------------------------------------------------------------------------------------
# Crafted messages whose few bits stand for enormous work


@pytest.fixture(scope="module")
def wmo35():
    return _norvane.TableSet.from_eccodes(str(resolve(DEFINITIONS / "bufr/tables/0/wmo/35")))


def limit(what, data_bits):
    return (f"csv/table parse error: data section decode exceeded its limit of "
            f"{(1 << 20) + 16 * data_bits} {what} for {data_bits} bits of section 4")


ALL_ONES_16 = (0xFFFF, 16)  # 031002 (16 bits, class 31: never missing) = 65535


@pytest.mark.parametrize(("descriptors", "fields", "subsets", "compressed", "expected"), [
    pytest.param(
        [102000, 31002, 101255, 222000], [ALL_ONES_16], 1, False, limit("descriptor steps", 16),
        id="65535x255 operator markers",
    ),
    pytest.param(
        [103000, 31002, 201001, 101255, 12101], [ALL_ONES_16], 1, False, limit("descriptor steps", 16),
        id="65535x255 zero-width elements",
    ),
    pytest.param(
        [103000, 31002, 102255, 101255, 203000], [ALL_ONES_16], 1, False,
        limit("descriptor steps", 16), id="65535x255x255 no-op operators",
    ),
    pytest.param(
        [102000, 31002, 101255, 205000], [ALL_ONES_16], 1, False, limit("descriptor steps", 16),
        id="65535x255 empty character data",
    ),
    pytest.param(
        [102000, 31002, 101255, 205000], [ALL_ONES_16, (0, 6), *[(0, 6)] * 30], 65535, True,
        limit("values", 208), id="compressed 65535 subsets x empty character data",
    ),
    pytest.param(
        [203254, 102000, 31002, 101255, 12101], [ALL_ONES_16, *[(0, 254)] * 4], 1, False,
        "csv/table parse error: not enough bits while reading section 4 at bit 1032 for width 1 "
        "(1032 bits available)", id="65535x255 definitions of 254-bit reference values",
    ),
    pytest.param(
        [101100, 12101], [(27315, 16), (0, 6)] * 100, 65535, True, limit("values", 2200),
        id="compressed 65535 subsets x 100 constant columns",
    ),
    pytest.param(
        [201001, 101255, 12101], [(0, 6)] * 255, 65535, True, limit("values", 1536),
        id="compressed 65535 subsets x zero-width columns",
    ),
    pytest.param(
        [102000, 31002, 101255, 222000], [ALL_ONES_16, (0, 6)], 65535, True, limit("values", 24),
        id="compressed 65535 subsets x operator columns",
    ),
])
def test_crafted_work_is_bounded(wmo35, descriptors, fields, subsets, compressed, expected):
    message = build_message(descriptors, fields, subsets=subsets, compressed=compressed)
    start = time.perf_counter()
    with pytest.raises(ValueError) as caught:
        _norvane.decode_values_with_tables(message, wmo35)
    elapsed = time.perf_counter() - start
    assert str(caught.value) == expected
    assert elapsed < CALL_LIMIT
