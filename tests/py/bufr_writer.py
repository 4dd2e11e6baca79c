"""A small BUFR writer for tests (edition 4, and section 1 of editions 2 and 3): messages and
ecCodes-style table directories.

Sections are laid out as edition 4 prescribes, so a test states only what differs from a plain
valid message; a ``length`` or ``total_length`` keyword overrides the declared length alone.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from pathlib import Path

SECTION1_FIELDS = {  # name: (octets, default)
    "master_table": (1, 0), "centre": (2, 98), "subcentre": (2, 0), "update": (1, 0), "flags": (1, 0),
    "category": (1, 0), "intl_subcategory": (1, 0), "local_subcategory": (1, 0), "master_version": (1, 35),
    "local_version": (1, 0), "year": (2, 2024), "month": (1, 1), "day": (1, 2), "hour": (1, 3), "minute": (1, 4),
    "second": (1, 5),
}
KINDS = {"CCITT IA5": "string", "CODE TABLE": "table", "FLAG TABLE": "flag"}  # element types by unit


def pack_bits(fields: Iterable[tuple[int | bytes, int]]) -> bytes:
    """Packs (value, width) pairs most significant bit first, zero-padded to whole octets.

    A ``bytes`` value is its big-endian number placed in the top bits of the field (``(b"AB", 24)``
    gives ``A B 00``, ``(b"AB", 12)`` the top 12 bits of ``A B``); an ``int`` must fit its width.
    """
    acc = nbits = 0
    for value, width in fields:
        if isinstance(value, (bytes, bytearray)):
            have, value = 8 * len(value), int.from_bytes(value, "big")
            value = value << (width - have) if width >= have else value >> (have - width)
        elif value < 0 or value >> width:
            raise ValueError(f"value {value} does not fit in {width} bits")
        acc, nbits = (acc << width) | value, nbits + width
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


def section1(*, extra: bytes = b"", length: int | None = None, **fields: int) -> bytes:
    """Section 1: 22 octets (keywords named as in SECTION1_FIELDS) plus ``extra``."""
    if not fields.keys() <= SECTION1_FIELDS.keys():
        raise TypeError(f"unknown section 1 fields {sorted(fields.keys() - SECTION1_FIELDS.keys())}")
    body = b"".join(_u(fields.get(name, default), n) for name, (n, default) in SECTION1_FIELDS.items()) + extra
    return _u(3 + len(body) if length is None else length, 3) + body


OLD_SECTION1_FIELDS = {  # editions 2 and 3: name: (octets, default); edition 2 has a 2-octet centre, no sub-centre
    "master_table": (1, 0), "subcentre": (1, 0), "centre": (1, 98), "update": (1, 0), "flags": (1, 0),
    "category": (1, 0), "local_subcategory": (1, 0), "master_version": (1, 13), "local_version": (1, 0),
    "year": (1, 12), "month": (1, 1), "day": (1, 2), "hour": (1, 3), "minute": (1, 4),
}


def old_section1(edition: int = 3, *, extra: bytes = b"\x00", length: int | None = None, **fields: int) -> bytes:
    """Section 1 of edition 3 (17 octets, then ``extra``: one padding octet by default) or 2;
    ``year`` is the year of century."""
    layout = dict(OLD_SECTION1_FIELDS)
    if edition == 2:
        del layout["subcentre"]
        layout["centre"] = (2, 98)
    if not fields.keys() <= layout.keys():
        raise TypeError(f"unknown section 1 fields {sorted(fields.keys() - layout.keys())}")
    body = b"".join(_u(fields.get(name, default), n) for name, (n, default) in layout.items()) + extra
    return _u(3 + len(body) if length is None else length, 3) + body


def local_section(local: bytes) -> bytes:
    """Section 2: the 4-octet header and the local data."""
    return _u(4 + len(local), 3) + b"\x00" + local


def section3(descriptors: Iterable[int], *, subsets: int = 1, observed: bool = True, compressed: bool = False,
             extra: bytes = b"", length: int | None = None) -> bytes:
    """Section 3: 7 header octets and 2 per descriptor, then ``extra`` (counted in L3)."""
    flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    body = b"\x00" + _u(subsets, 2) + _u(flags, 1) + b"".join(map(descriptor_octets, descriptors)) + extra
    return _u(3 + len(body) if length is None else length, 3) + body


def section4(data: bytes | Iterable[tuple[int | bytes, int]] = b"", *, length: int | None = None) -> bytes:
    """Section 4: the 4-octet header and ``data`` (bytes, or fields for ``pack_bits``)."""
    payload = bytes(data) if isinstance(data, (bytes, bytearray)) else pack_bits(data)
    return _u(4 + len(payload) if length is None else length, 3) + b"\x00" + payload


def assemble(*sections: bytes, edition: int = 4, total_length: int | None = None, terminator: bytes = b"7777") -> bytes:
    """Section 0, the given sections 1 to 4 as they are, and the terminator."""
    body = b"".join(sections) + terminator
    return b"BUFR" + _u(8 + len(body) if total_length is None else total_length, 3) + _u(edition, 1) + body


def build_message(descriptors: Iterable[int], data: bytes | Iterable[tuple[int | bytes, int]] = b"", *,
                  subsets: int = 1, compressed: bool = False, observed: bool = True, section2: bytes | None = None,
                  section1_flags: int | None = None, section1_extra: bytes = b"", edition: int = 4,
                  total_length: int | None = None, terminator: bytes = b"7777", **section1_fields: int) -> bytes:
    """A complete message; ``section2`` is the local data (flag 0x80 set when given)."""
    flags = (0x80 if section2 is not None else 0) if section1_flags is None else section1_flags
    return assemble(section1(flags=flags, extra=section1_extra, **section1_fields),
                    b"" if section2 is None else local_section(section2),
                    section3(list(descriptors), subsets=subsets, observed=observed, compressed=compressed),
                    section4(data), edition=edition, total_length=total_length, terminator=terminator)


def uncompressed_fields(columns, subsets: int) -> list[tuple[int | bytes, int]]:
    """The fields of ``columns`` laid out subset by subset.

    A column is (kind, width, values): kind "numeric", "text" or "marker" (no bits), one value
    per subset; None is a missing numeric value (all ones).
    """
    return [(2**width - 1 if values[s] is None else values[s], width)
            for s in range(subsets) for kind, width, values in columns if kind != "marker"]


def compressed_fields(columns) -> list[tuple[int | bytes, int]]:
    """The fields of ``columns`` as compressed blocks: a reference, a 6-bit increment width and
    the increments (none when every subset has the same value; all ones for a missing one)."""
    fields: list[tuple[int | bytes, int]] = []
    for kind, width, values in columns:
        present = [v for v in values if v is not None]
        if kind == "text":
            same = len(set(values)) == 1
            fields += [(values[0], width), (0 if same else width // 8, 6)] + [(v, width) for v in values if not same]
        elif kind == "numeric" and not present:
            fields += [(2**width - 1, width), (0, 6)]
        elif kind == "numeric":
            low, spread = min(present), max(present) - min(present)
            bits = 0 if spread == 0 and len(present) == len(values) else (spread + 1).bit_length()
            fields += [(low, width), (bits, 6)]
            fields += [(2**bits - 1 if v is None else v - low, bits) for v in values if bits]
    return fields


def write_table_dir(path: str | Path, elements: Iterable[tuple] = (),
                    sequences: Mapping[int, Iterable[int]] | str | None = None,
                    code_tables: Mapping[int, Mapping[int, str] | str] | None = None) -> Path:
    """Writes element.table, sequence.def and (unless ``code_tables`` is None) codetables/.

    ``elements``: (code, name, unit, scale, reference, width[, abbreviation[, type]]);
    ``sequences``: {code: members}; a code table {raw: meaning}; a str is written as the whole file.
    """
    root = Path(path)
    (root / "codetables" if code_tables is not None else root).mkdir(parents=True, exist_ok=True)
    rows = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
    for code, name, unit, scale, reference, width, *rest in elements:
        kind = KINDS.get(unit, "double" if scale > 0 else "long")
        abbreviation = rest[0] if rest else f"element{code:06d}"
        kind = rest[1] if len(rest) > 1 else kind
        rows.append(f"{code:06d}|{abbreviation}|{kind}|{name}|{unit}|{scale}|{reference}|{width}"
                    f"|{unit}|{scale}|{(width + 3) // 4}")
    (root / "element.table").write_text("\n".join(rows) + "\n", encoding="utf-8")
    if not isinstance(sequences, str):
        sequences = "".join(f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
                            for code, members in (sequences or {}).items())
    (root / "sequence.def").write_text(sequences, encoding="utf-8")
    for code, entries in (code_tables or {}).items():
        if not isinstance(entries, str):
            entries = "".join(f"{raw} {raw} {meaning}\n" for raw, meaning in entries.items())
        (root / "codetables" / f"{code}.table").write_text(entries, encoding="utf-8")
    return root
