"""A small BUFR edition 4 writer for tests: messages and ecCodes-style table directories.

Every section is written as the edition 4 layout prescribes, so a test states only what
differs from a plain valid message. The pieces (``section1``, ``section3``, ``section4``,
``assemble``) are public for tests that need a message no keyword of ``build_message`` makes.

Example::

    from bufr_writer import build_message, pack_bits, write_table_dir

    # one subset of 001001 (7 bits) = 5 and 001002 (10 bits) = 300
    msg = build_message([1001, 1002], [(5, 7), (300, 10)])
    tables = write_table_dir(tmp_path / "tables", elements=[
        (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
        (1002, "WMO STATION NUMBER", "Numeric", 0, 0, 10),
    ])
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from pathlib import Path

__all__ = [
    "assemble",
    "build_message",
    "descriptor_octets",
    "local_section",
    "pack_bits",
    "section1",
    "section3",
    "section4",
    "write_table_dir",
]

Field = tuple[int | bytes, int]


def pack_bits(fields: Iterable[Field]) -> bytes:
    """Packs (value, width) pairs most significant bit first, zero-padded to whole octets.

    A ``bytes`` value stands for its big-endian integer placed in the top bits of the
    field: ``(b"AB", 24)`` gives the octets ``A B 00``. An ``int`` must fit its width.
    """
    acc = 0
    nbits = 0
    for value, width in fields:
        if width < 0:
            raise ValueError(f"negative width {width}")
        if isinstance(value, (bytes, bytearray)):
            have = 8 * len(value)
            number = int.from_bytes(value, "big")
            number = number << (width - have) if width >= have else number >> (have - width)
        else:
            number = int(value)
            if number < 0 or number >> width:
                raise ValueError(f"value {number} does not fit in {width} bits")
        acc = (acc << width) | number
        nbits += width
    pad = -nbits % 8
    return (acc << pad).to_bytes((nbits + pad) // 8, "big")


def _u(value: int, octets: int) -> bytes:
    return value.to_bytes(octets, "big")


def descriptor_octets(code: int) -> bytes:
    """The two section 3 octets of FXY code F*100000 + X*1000 + Y."""
    f, x, y = code // 100000, code // 1000 % 100, code % 1000
    if not (0 <= f <= 3 and 0 <= x <= 63 and 0 <= y <= 255):
        raise ValueError(f"{code} is not an FXY code")
    return bytes([(f << 6) | x, y])


def section1(
    *,
    master_table: int = 0,
    centre: int = 98,
    subcentre: int = 0,
    update: int = 0,
    flags: int = 0,
    category: int = 0,
    intl_subcategory: int = 0,
    local_subcategory: int = 0,
    master_version: int = 35,
    local_version: int = 0,
    year: int = 2024,
    month: int = 1,
    day: int = 2,
    hour: int = 3,
    minute: int = 4,
    second: int = 5,
    extra: bytes = b"",
    length: int | None = None,
) -> bytes:
    """Section 1: 22 octets plus ``extra``; ``length`` overrides the declared L1 only."""
    body = (
        _u(master_table, 1) + _u(centre, 2) + _u(subcentre, 2) + _u(update, 1) + _u(flags, 1)
        + _u(category, 1) + _u(intl_subcategory, 1) + _u(local_subcategory, 1)
        + _u(master_version, 1) + _u(local_version, 1) + _u(year, 2)
        + bytes([month, day, hour, minute, second]) + extra
    )
    return _u(3 + len(body) if length is None else length, 3) + body


def local_section(local: bytes) -> bytes:
    """Section 2: the 4-octet header and the local data."""
    return _u(4 + len(local), 3) + b"\x00" + local


def section3(
    descriptors: Iterable[int],
    *,
    subsets: int = 1,
    observed: bool = True,
    compressed: bool = False,
    extra: bytes = b"",
    length: int | None = None,
) -> bytes:
    """Section 3: 7 header octets and 2 per descriptor, then ``extra`` (counted in L3)."""
    codes = b"".join(descriptor_octets(c) for c in descriptors)
    flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    body = b"\x00" + _u(subsets, 2) + _u(flags, 1) + codes + extra
    return _u(3 + len(body) if length is None else length, 3) + body


def section4(data: bytes | Iterable[Field] = b"", *, length: int | None = None) -> bytes:
    """Section 4: the 4-octet header and ``data`` (bytes, or fields for ``pack_bits``)."""
    payload = data if isinstance(data, (bytes, bytearray)) else pack_bits(data)
    return _u(4 + len(payload) if length is None else length, 3) + b"\x00" + bytes(payload)


def assemble(
    *sections: bytes, edition: int = 4, total_length: int | None = None, terminator: bytes = b"7777"
) -> bytes:
    """Section 0, the given sections 1 to 4 as they are, and the terminator."""
    body = b"".join(sections) + terminator
    declared = 8 + len(body) if total_length is None else total_length
    return b"BUFR" + _u(declared, 3) + _u(edition, 1) + body


def build_message(
    descriptors: Iterable[int],
    data: bytes | Iterable[Field] = b"",
    *,
    subsets: int = 1,
    compressed: bool = False,
    observed: bool = True,
    master_table: int = 0,
    centre: int = 98,
    subcentre: int = 0,
    update: int = 0,
    category: int = 0,
    intl_subcategory: int = 0,
    local_subcategory: int = 0,
    master_version: int = 35,
    local_version: int = 0,
    year: int = 2024,
    month: int = 1,
    day: int = 2,
    hour: int = 3,
    minute: int = 4,
    second: int = 5,
    section2: bytes | None = None,
    section1_flags: int | None = None,
    edition: int = 4,
    total_length: int | None = None,
    terminator: bytes = b"7777",
    section1_extra: bytes = b"",
) -> bytes:
    """A complete message; ``section2`` is the local data (flag 0x80 set when given)."""
    if section1_flags is None:
        section1_flags = 0x80 if section2 is not None else 0
    s1 = section1(
        master_table=master_table, centre=centre, subcentre=subcentre, update=update,
        flags=section1_flags, category=category, intl_subcategory=intl_subcategory,
        local_subcategory=local_subcategory, master_version=master_version,
        local_version=local_version, year=year, month=month, day=day, hour=hour,
        minute=minute, second=second, extra=section1_extra,
    )
    s2 = b"" if section2 is None else local_section(section2)
    s3 = section3(list(descriptors), subsets=subsets, observed=observed, compressed=compressed)
    return assemble(
        s1, s2, s3, section4(data), edition=edition, total_length=total_length,
        terminator=terminator,
    )


def _element_type(unit: str, scale: int) -> str:
    return {"CCITT IA5": "string", "CODE TABLE": "table", "FLAG TABLE": "flag"}.get(
        unit, "double" if scale > 0 else "long"
    )


def write_table_dir(
    path: str | Path,
    elements: Iterable[tuple] = (),
    sequences: Mapping[int, Iterable[int]] | str | None = None,
    code_tables: Mapping[int, Mapping[int, str] | str] | None = None,
) -> Path:
    """Writes element.table, sequence.def and codetables/ in the ecCodes layout.

    ``elements``: tuples (code, name, unit, scale, reference, width[, abbreviation[, type]]).
    ``sequences``: {code: members}, or a str written as the whole file.
    ``code_tables``: {code: {raw: meaning}}, or {code: str} written as the whole file;
    ``None`` writes no codetables directory at all.
    """
    root = Path(path)
    root.mkdir(parents=True, exist_ok=True)
    rows = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
    for element in elements:
        code, name, unit, scale, reference, width, *rest = element
        abbreviation = rest[0] if rest else f"element{code:06d}"
        kind = rest[1] if len(rest) > 1 else _element_type(unit, scale)
        rows.append(
            f"{code:06d}|{abbreviation}|{kind}|{name}|{unit}|{scale}|{reference}|{width}"
            f"|{unit}|{scale}|{(width + 3) // 4}"
        )
    (root / "element.table").write_text("\n".join(rows) + "\n", encoding="utf-8")

    if isinstance(sequences, str):
        text = sequences
    else:
        text = "".join(
            f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
            for code, members in (sequences or {}).items()
        )
    (root / "sequence.def").write_text(text, encoding="utf-8")

    if code_tables is not None:
        tables = root / "codetables"
        tables.mkdir(exist_ok=True)
        for code, entries in code_tables.items():
            if isinstance(entries, str):
                text = entries
            else:
                text = "".join(f"{raw} {raw} {meaning}\n" for raw, meaning in entries.items())
            (tables / f"{code}.table").write_text(text, encoding="utf-8")
    return root
