"""Fast, exact decoding of WMO BUFR edition 4 messages."""

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

__all__ = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "DefinitionsNotFound",
    "Message",
    "MessageReader",
    "ReadError",
    "SkippedMessage",
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
]
