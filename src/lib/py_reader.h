// The functions of norvane._reader, the compiled half of norvane.read(): walking a buffer of
// messages of any edition, decoding one of them, and loading tables by key.
#pragma once

#include "lib/binding.h"

namespace norvane::py {

// next_message(buffer, start) -> (kind, offset, length, next, payload): one scan step over a
// buffer-protocol object (borrowed for the call, never copied). kind 0: no marker at or
// after start (offset is the buffer size); 1: a message, payload its table key packed in
// one int (master table << 48 | master version << 40 | local version << 32 | centre << 16
// | sub-centre, both 0 when the local version is 0); 2: a bad message, payload its error text; 3: a message cut short by the end
// of the buffer, length its declared length or 0 when fewer than 8 octets follow the marker.
// The header is left for header(): most readers of a message want its values, not its
// header, and the key is all that choosing tables needs.
PyObject* next_message(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// header(buffer, offset, length) -> tuple: the section 0, 1 and 3 fields of the message at
// buffer[offset:offset + length], in the order norvane.reader.Message reads them; fields
// its edition does not carry are None.
PyObject* message_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// decode(buffer, offset, length, tables) -> list[DecodedValue]: the message at
// buffer[offset:offset + length], of any edition, decoded as decode_values_with_tables does.
PyObject* decode_message_at(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// load_tables(root, master_table, master_version, local_version, centre, subcentre)
//   -> (TableSet, master_dir, local_dir or None): the tables of one key from an ecCodes
// definitions root.
PyObject* load_tables(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace norvane::py
