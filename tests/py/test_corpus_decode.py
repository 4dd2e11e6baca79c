"""Decoded values of the edition 4 corpus messages against ecCodes, value by value.

ecCodes' ``numericValues`` lists, subset by subset, one number per element occurrence in
bit-stream order: delayed replication factors included, associated fields (before their
element), operator markers as 0.0, missing values as -1e+100, and a text as its ordinal in
the message x 1000 + its width in bytes (in compressed messages the ordinal counts column by
column). That is the order and the encoding of our records, so the two lists are walked side
by side. ecCodes runs with its own built-in definitions; Debian's tree (the one we read) gives
the same values.
"""

from __future__ import annotations

import math

import pytest

from conftest import CORPUS, DEFINITIONS, corpus_rows, require, require_module
from norvane import _norvane, iter_message_bytes

eccodes = require_module("eccodes")
require(DEFINITIONS)
ECCODES_MISSING = -1e100
SAMPLE_ABOVE, SAMPLE_STEP = 1000, 50  # files with more messages: every 50th message and the last
TEXT_WHITESPACE = " \t\n\v\f\r"
NOT_ENOUGH_BITS = ("csv/table parse error: not enough bits while reading section 4 at bit {} for width {} "
                   "({} bits available)").format

FAILURES = {  # (file, message index): our exact error
    # The tables of the declared master version 16 do not describe the data; ecCodes stops at the same bit.
    ("bufr/pybufrkit/benchmark_data/jason2.bufr", 0): NOT_ENOUGH_BITS(540114, 16, 540120),
    # Broken on purpose: the data section is too short for its descriptors; ecCodes fails too.
    ("bufr/pybufrkit/data/multi_invalid_messages.bufr", 2): NOT_ENOUGH_BITS(568, 16, 576),
}


INVENTORY = [row for row in corpus_rows("inventory.tsv") if int(row["ed4_messages"])]
FILES = [row["path"] for row in INVENTORY]


def selected(count):
    return range(count) if count <= SAMPLE_ABOVE else sorted({*range(0, count, SAMPLE_STEP), count - 1})


def eccodes_texts(handle, message):
    """The message's texts in bit-stream order, a compressed column as one text per subset."""
    texts = []
    it = eccodes.codes_bufr_keys_iterator_new(handle)
    while eccodes.codes_bufr_keys_iterator_next(it):
        key = eccodes.codes_bufr_keys_iterator_get_name(it)
        if key.startswith("#") and "->" not in key and eccodes.codes_get_native_type(handle, key) is str:
            column = eccodes.codes_get_string_array(handle, key)
            texts += column * message.number_of_subsets if message.compressed_data and len(column) == 1 else column
    eccodes.codes_bufr_keys_iterator_delete(it)
    return texts


def mismatch(record, value, texts):
    """None when our record agrees with ecCodes' value, else what differs."""
    if record.descriptor == 999999 or record.name == "operator":
        ok = record.raw_value == value
    elif record.raw is None:  # a text: same reference number, same text
        ordinal = int(value) // 1000
        if record.raw_value != value or not 0 < ordinal <= len(texts):
            return f"text reference number {record.raw_value!r}, ecCodes {value!r} of {len(texts)} texts"
        # ecCodes hands out C strings: a text ends at its first NUL, and a missing one reads as "".
        # Ours keeps NULs and trims trailing white space.
        theirs, mine = texts[ordinal - 1].rstrip(TEXT_WHITESPACE), record.raw_text
        ok = (mine is None and theirs == "") or (
            mine is not None and mine.split("\0", 1)[0].rstrip(TEXT_WHITESPACE) == theirs)
        value = theirs
    elif record.raw_value is None:
        ok = value == ECCODES_MISSING
    else:  # ecCodes multiplies by 10^-scale where we divide by 10^scale: the last bits may differ
        ok = value != ECCODES_MISSING and math.isclose(value, record.raw_value, rel_tol=1e-15)
    return None if ok else f"ecCodes {value!r}"


def compare(octets, message, ours):
    """What differs first between our records and ecCodes' values, or None."""
    handle = eccodes.codes_new_from_message(octets)
    try:
        eccodes.codes_set(handle, "unpack", 1)
        values = eccodes.codes_get_array(handle, "numericValues")
        texts = eccodes_texts(handle, message) if any(r.raw is None for r in ours) else []
    except eccodes.CodesInternalError as error:
        return f"ecCodes failed ({error}) where we decoded {len(ours)} values"
    finally:
        eccodes.codes_release(handle)
    for j, (record, value) in enumerate(zip(ours, values)):
        if problem := mismatch(record, float(value), texts):
            return (f"value {j}: {record!r} (raw={record.raw}, raw_value={record.raw_value!r}, "
                    f"text={record.raw_text!r}): {problem}")
    return None if len(ours) == len(values) else f"{len(ours)} values, ecCodes {len(values)}"


@pytest.mark.parametrize("path", FILES)
def test_values_agree_with_eccodes(path):
    messages = list(iter_message_bytes((CORPUS / path).read_bytes()))
    problems, visited = [], set()
    for index in selected(len(messages)):
        octets = messages[index]
        if octets[7] != 4:  # edition 3 messages are refused before any decoding
            continue
        visited.add(index)
        listed = FAILURES.get((path, index))
        try:
            ours = _norvane.decode_values_with_definitions(octets, str(DEFINITIONS))
        except ValueError as error:
            if str(error) != listed:
                problems.append(f"message {index}: ValueError {error}, listed {listed!r}")
            continue
        if problem := "decoded although listed" if listed else compare(octets, _norvane.parse_bytes(octets), ours):
            problems.append(f"message {index}: {problem}")
    assert visited >= {i for p, i in FAILURES if p == path}
    assert not problems, "\n".join(problems[:20])


PEER_STATUS = {row["path"]: row for row in reversed(corpus_rows("eccodes_status.tsv"))}  # a path's first row wins


@pytest.mark.parametrize("path", [row["path"] for row in INVENTORY if int(row["messages"]) > SAMPLE_ABOVE])
def test_every_message_of_sampled_files_gives_the_peer_count(path):
    """The messages the value comparison skips all decode, to as many values as ecCodes counted for
    the whole file (eccodes_status.tsv, from the Debian build)."""
    status = PEER_STATUS[path]
    assert status["ed4_failed"] == "0"
    tables, total = {}, 0
    for octets in iter_message_bytes((CORPUS / path).read_bytes()):
        m = _norvane.parse_bytes(octets)
        key = (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
               m.originating_centre, m.originating_subcentre)
        if key not in tables:
            tables[key] = _norvane.TableSet.from_definitions(str(DEFINITIONS), m)
        total += len(_norvane.decode_values_with_tables(octets, tables[key]))
    assert total == int(status["values"])
