"""Decoded values of the edition 4 corpus messages against ecCodes, value by value.

ecCodes' ``numericValues`` lists, subset by subset, one number per element occurrence in
bit-stream order: delayed replication factors included, associated fields (before their
element), operator markers as 0.0, missing values as -1e+100, and a text as its ordinal in
the message x 1000 + its width in bytes (in compressed messages the ordinal counts column by
column). That is the order and the encoding of our records, so the two lists are walked side
by side.

Every message must match or fail with the error listed in ``FAILURES``. Files with thousands of
messages are sampled: every 50th message plus the last.

ecCodes here runs with its own built-in definitions; pointing it at Debian's tree (the one our
decoder reads) through ECCODES_DEFINITION_PATH gives the same values for every message compared.
"""

from __future__ import annotations

import csv
from functools import cache
from pathlib import Path

import pytest

from conftest import CORPUS
from norvane import _norvane, iter_message_bytes

eccodes = pytest.importorskip("eccodes")

DEFINITIONS = Path("/usr/share/eccodes/definitions")
ECCODES_MISSING = -1e100
SAMPLE_ABOVE = 1000  # files with more messages than this are sampled
SAMPLE_STEP = 50
TEXT_WHITESPACE = " \t\n\v\f\r"

NOT_ENOUGH_BITS = "csv/table parse error: not enough bits while reading section 4 at bit {} for width {} ({} bits available)"

# (file, message index) -> (our exact error text, why).
FAILURES = {
    ("bufr/pybufrkit/benchmark_data/jason2.bufr", 0): (
        NOT_ENOUGH_BITS.format(540114, 16, 540120),
        "the data runs out: the tables of the declared master version 16 do not describe it; "
        "ecCodes stops at the same bit",
    ),
    ("bufr/pybufrkit/data/multi_invalid_messages.bufr", 2): (
        NOT_ENOUGH_BITS.format(568, 16, 576),
        "broken on purpose: its data section is too short for its descriptors; ecCodes fails too",
    ),
}


def _inventory():
    path = CORPUS / "inventory.tsv"
    if not path.exists():
        return []
    with path.open(newline="") as f:
        return [row for row in csv.DictReader(f, delimiter="\t") if int(row["ed4_messages"])]


INVENTORY = _inventory()
FILES = [row["path"] for row in INVENTORY]
SAMPLED_FILES = [row["path"] for row in INVENTORY if int(row["messages"]) > SAMPLE_ABOVE]
pytestmark = pytest.mark.skipif(
    not FILES or not DEFINITIONS.is_dir(), reason="no corpus or no ecCodes definitions"
)


def selected(count):
    if count <= SAMPLE_ABOVE:
        return range(count)
    return sorted({*range(0, count, SAMPLE_STEP), count - 1})


# ---------------------------------------------------------------------------------------------
# Table B scales, read from the same definitions tree, for the tolerance of each element.


def _resolve(path: Path) -> Path:
    while path.is_file():  # an alias file names a sibling directory
        path = path.parent / path.read_text().strip()
    return path


def _read_scales(table: Path, into: dict[int, int]) -> None:
    if not table.is_file():
        return
    for line in table.read_text(encoding="utf-8", errors="replace").splitlines():
        fields = line.split("|")
        if line.startswith("#") or len(fields) < 8:
            continue
        into[int(fields[0])] = int(fields[5])


@cache
def table_b_scales(master, version, local_version, centre, subcentre):
    tables = DEFINITIONS / "bufr" / "tables" / str(master)
    scales: dict[int, int] = {}
    _read_scales(_resolve(tables / "wmo" / str(version)) / "element.table", scales)
    if local_version:
        name = f"19-{local_version}" if version == 19 else str(local_version)
        _read_scales(tables / "local" / name / str(centre) / str(subcentre) / "element.table", scales)
    return scales


def scales_of(message):
    return table_b_scales(
        message.master_table_number, message.master_tables_version_number,
        message.local_tables_version_number, message.originating_centre,
        message.originating_subcentre,
    )


def numbers_agree(expected, got, scale):
    """Half a unit of the element's last decimal; ecCodes multiplies by 10^-scale where we
    divide by 10^scale, so the two may also differ in the last bits of the float.

    No corpus message changes scales with 202YYY or 207YYY, so the Table B scale is the scale
    the value was coded with. Where that unit is finer than the float's own resolution (large
    values), a relative 1e-12, a few thousand ulps, is allowed instead.
    """
    if expected == got:
        return True
    tolerance = 0.5 * 10.0 ** -scale if scale is not None else 0.0
    return abs(expected - got) <= max(tolerance, 1e-12 * max(abs(expected), abs(got)))


# ---------------------------------------------------------------------------------------------
# ecCodes


class PeerFailed(Exception):
    pass


class Peer:
    """One message unpacked by ecCodes: its numeric values, and its texts on demand."""

    def __init__(self, octets, subsets, compressed):
        self.subsets = subsets
        self.compressed = compressed
        self.handle = eccodes.codes_new_from_message(octets)
        self._texts = None
        try:
            eccodes.codes_set(self.handle, "unpack", 1)
            self.values = [float(v) for v in eccodes.codes_get_array(self.handle, "numericValues")]
        except eccodes.CodesInternalError as error:
            self.close()
            raise PeerFailed(str(error)) from error

    def close(self):
        if self.handle is not None:
            eccodes.codes_release(self.handle)
            self.handle = None

    def text(self, ordinal):
        """The text whose reference number in ``values`` is ordinal x 1000 + width.

        The data keys come in bit-stream order; a text key holds one string per occurrence,
        or in a compressed message one column of strings (one string when all are equal).
        """
        if self._texts is None:
            texts = []
            it = eccodes.codes_bufr_keys_iterator_new(self.handle)
            try:
                while eccodes.codes_bufr_keys_iterator_next(it):
                    key = eccodes.codes_bufr_keys_iterator_get_name(it)
                    if not key.startswith("#") or "->" in key:
                        continue
                    if eccodes.codes_get_native_type(self.handle, key) is not str:
                        continue
                    column = eccodes.codes_get_string_array(self.handle, key)
                    if self.compressed and len(column) == 1:
                        column = column * self.subsets
                    texts.extend(column)
            finally:
                eccodes.codes_bufr_keys_iterator_delete(it)
            self._texts = texts
        return self._texts[ordinal - 1] if 0 < ordinal <= len(self._texts) else None


# ---------------------------------------------------------------------------------------------
# The walk


def describe(record):
    return f"{record!r} (raw={record.raw}, raw_value={record.raw_value!r}, text={record.raw_text!r})"


def check_record(record, value, peer, scales):
    """None when our record agrees with ecCodes' value, else what differs."""
    if record.descriptor == 999999 or record.name == "operator":
        ok = record.raw_value == value
    elif record.raw is None:  # a text: same reference number, same text
        if record.raw_value != value:
            return f"text reference number {record.raw_value!r}, ecCodes {value!r}"
        theirs = peer.text(int(value) // 1000)
        if theirs is None:
            return f"ecCodes has no text {int(value) // 1000}"
        # ecCodes hands out C strings: a text ends at its first NUL, and a missing text (all
        # bits set) reads as "". Ours keeps NULs and trims trailing white space.
        theirs = theirs.rstrip(TEXT_WHITESPACE)
        mine = record.raw_text
        ok = (mine is None and theirs == "") or (
            mine is not None and mine.split("\0", 1)[0].rstrip(TEXT_WHITESPACE) == theirs
        )
        if not ok:
            return f"text {record.raw_text!r}, ecCodes {theirs!r}"
        return None
    elif record.raw_value is None:
        ok = value == ECCODES_MISSING
    else:
        ok = value != ECCODES_MISSING and numbers_agree(value, record.raw_value, scales.get(record.descriptor))
    return None if ok else f"ecCodes {value!r}"


def compare(peer, ours, scales):
    """Walks both lists; returns the list of problems (empty when they agree)."""
    values = peer.values
    i = j = 0
    while i < len(values) or j < len(ours):
        problem = None
        if i < len(values) and j < len(ours):
            problem = check_record(ours[j], values[i], peer, scales)
        if problem is None and i < len(values) and j < len(ours):
            i, j = i + 1, j + 1
            continue
        where = f"value {j} of ours, {i} of ecCodes ({len(ours)} and {len(values)} in all)"
        if j >= len(ours):
            return [f"{where}: ecCodes has more: {values[i:i + 5]}"]
        if i >= len(values):
            return [f"{where}: we have more: {describe(ours[j])}"]
        return [f"{where}: {describe(ours[j])}: {problem}"]
    return []


@pytest.mark.parametrize("path", FILES)
def test_values_agree_with_eccodes(path):
    data = (CORPUS / path).read_bytes()
    messages = list(iter_message_bytes(data))
    problems = []
    compared = 0
    for index in selected(len(messages)):
        octets = messages[index]
        if octets[7] != 4:  # edition 3 messages are refused before any decoding
            continue
        compared += 1
        key = (path, index)
        label = f"message {index}"
        message = _norvane.parse_bytes(octets)
        try:
            ours = _norvane.decode_values_with_definitions(octets, str(DEFINITIONS))
        except ValueError as error:
            if key not in FAILURES:
                problems.append(f"{label}: unexpected ValueError: {error}")
            elif str(error) != FAILURES[key][0]:
                problems.append(f"{label}: ValueError {error}, listed {FAILURES[key][0]!r}")
            continue
        if key in FAILURES:
            problems.append(f"{label}: decoded although listed as failing ({FAILURES[key][1]})")
            continue
        try:
            peer = Peer(octets, message.number_of_subsets, message.compressed_data)
        except PeerFailed as error:
            problems.append(f"{label}: ecCodes failed ({error}) where we decoded {len(ours)} values")
            continue
        try:
            found = compare(peer, ours, scales_of(message))
        finally:
            peer.close()
        problems.extend(f"{label}: {p}" for p in found)
    assert compared
    assert not problems, "\n".join(problems[:20])


def test_listed_messages_exist():
    """Every listed failure names an edition 4 message that the test visits."""
    for path, index in FAILURES:
        assert path in FILES
        messages = list(iter_message_bytes((CORPUS / path).read_bytes()))
        assert index in selected(len(messages)) and messages[index][7] == 4, (path, index)


def _peer_status():
    path = CORPUS / "eccodes_status.tsv"
    if not path.exists():
        return {}
    with path.open(newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return {row["path"]: row for row in reversed(rows)}  # the first row of a path wins


@pytest.mark.parametrize("path", SAMPLED_FILES)
def test_every_message_of_sampled_files_gives_the_peer_count(path):
    """The messages the value comparison skips: all decode, to as many values as ecCodes
    counted for the whole file (eccodes_status.tsv, from the Debian build)."""
    status = _peer_status().get(path)
    if status is None:
        pytest.skip("no ecCodes status for this file")
    assert status["ed4_failed"] == "0"
    tables = {}
    total = 0
    for octets in iter_message_bytes((CORPUS / path).read_bytes()):
        message = _norvane.parse_bytes(octets)
        key = (message.master_table_number, message.master_tables_version_number,
               message.local_tables_version_number, message.originating_centre,
               message.originating_subcentre)
        if key not in tables:
            tables[key] = _norvane.TableSet.from_definitions(str(DEFINITIONS), message)
        total += len(_norvane.decode_values_with_tables(octets, tables[key]))
    assert total == int(status["values"])
