"""Fast, exact decoding of WMO BUFR messages.

``norvane.read(source)`` walks the messages of a file, a buffer or a binary stream and decodes
each with tables chosen from its section 1: ecCodes definitions when some are found
(``find_definitions_root``), else the WMO tables bundled in the package (``norvane.bundled``).
``norvane.read_table(source)`` decodes them all into one table that Arrow, pandas, polars and
DuckDB read without a copy, or into observation rows (``norvane.rows``).
The compiled module ``norvane._norvane`` underneath parses single edition-4 messages, loads
table sets (``TableSet``) and decodes data sections into ``DecodedValue`` records.
"""

__version__ = "0.1.0"

from norvane._norvane import (
    BufrMessage,
    DecodedValue,
    Descriptor,
    ElementDefinition,
    SequenceDefinition,
    TableSet,
    decode_values,
    decode_values_with_definitions,
    decode_values_with_tables,
    expand_descriptors,
    parse_all_bytes,
    parse_all_file,
    parse_bytes,
    parse_file,
)
from norvane.definitions import DefinitionsNotFound, find_definitions_root
from norvane.messages import iter_message_bytes
from norvane.reader import Message, MessageReader, ReadError, SkippedMessage, TablesWarning, read
from norvane.table import MessageMatrix, Table, read_table

__all__ = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "DefinitionsNotFound",
    "Message",
    "MessageMatrix",
    "MessageReader",
    "ReadError",
    "SkippedMessage",
    "Table",
    "TablesWarning",
    "decode_values",
    "decode_values_with_definitions",
    "decode_values_with_tables",
    "expand_descriptors",
    "find_definitions_root",
    "iter_message_bytes",
    "parse_all_bytes",
    "parse_all_file",
    "parse_bytes",
    "parse_file",
    "read",
    "read_table",
]
