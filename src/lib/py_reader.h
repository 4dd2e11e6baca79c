// norvane._reader, the compiled half of norvane.read(): a scanner that walks a buffer of
// messages of any edition and hands out message objects, the message base class with its
// decode(), the module function decode() and table loading by key.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "lib/binding.h"

namespace norvane::py {

// ---- py_reader_message.cpp: the class MessageBase, subclassed by norvane.reader.Message.
// Its instances are made only by the scanner; Python adds the header properties and the
// table choice (`_tables()` -> (TableSet, source)) and turns decoder errors into its own
// (`_read_error(error)` -> exception).
PyTypeObject* create_message_base_type();  // once per process; later calls return the same type
PyTypeObject*& message_base_type();         // the type, or nullptr before it is created
// A new instance of `type` (MessageBase or a subclass) for `message`, parsed from
// buffer[at:at + message.total_length], `offset` in the source; steals no reference.
PyObject* new_message(PyTypeObject* type, PyObject* buffer, std::uint64_t at, std::uint64_t index,
                      std::uint64_t offset, BufrMessage&& message, PyObject* by_key);

// Where a message object lies, for decoding it without the interpreter: borrowed pointers,
// valid while the object lives.
struct MessageParts {
    const BufrMessage* message;
    PyObject* buffer;  // the object whose octets hold the message at `at`
    PyObject* key;     // its packed table key
    std::uint64_t at;
    std::uint64_t index;
    std::uint64_t offset;
};
// False with TypeError set when `obj` is not a MessageBase.
bool message_parts(PyObject* obj, MessageParts& out);
// The message's section 4 data within `octets`, the octets of its buffer; nothing when they no
// longer hold the message (a bytearray that shrank, a closed mmap).
std::optional<Octets> section4_in(const MessageParts& parts, Octets octets);
inline constexpr const char* kSourceChanged = "the source no longer holds the message";
// A new reference to the message's TableSet, or nullptr with the subclass's error set.
PyObject* message_table_set(PyObject* message);
// The exception the subclass makes of a decoder error `text` for `message` (a new reference).
PyObject* message_error(PyObject* message, const std::string& text);

// ---- py_table.cpp: the compiled long table (RowBuilder, LongTable, Float64Matrix).
bool add_table_types(PyObject* module);
// matrix(message) -> (Float64Matrix, descriptors, keys): the values of a message of
// norvane.read() as a (subsets x positions) matrix; its ReadError when it does not decode,
// ValueError when its subsets differ in their descriptors.
PyObject* message_matrix(PyObject*, PyObject* message);

// ---- py_reader_scan.cpp: the class Scanner, the iterator of one read.
PyTypeObject* create_scanner_type();

// ---- py_reader.cpp
// The section 0, 1 and 3 fields of a parsed message as the tuple norvane.reader.Message
// reads them; fields its edition does not carry are None.
PyObject* header_tuple(const BufrMessage& message);
// The table key of a message in one int: master table << 48 | master version << 40 | local
// version << 32 | centre << 16 | sub-centre, centre and sub-centre 0 when there are no local
// tables (local version 0), for then they choose nothing.
std::uint64_t packed_table_key(const BufrMessage& message);
// decode(buffer, offset, length, tables) -> list[DecodedValue]: the message at
// buffer[offset:offset + length], of edition 2 to 4, decoded as decode_values_with_tables does.
PyObject* decode_message_at(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// load_tables(root, master_table, master_version, local_version, centre, subcentre)
//   -> (TableSet, master_dir, local_dir or None): the tables of one key from an ecCodes
// definitions root.
PyObject* load_tables(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// The TableSet object `tables` decodes the message at span (of the buffer object's
// octets): the shared step of decode() and MessageBase.decode().
PyObject* decode_span(std::span<const std::uint8_t> span, PyObject* tables);

// Runs `body`, turning C++ exceptions into MemoryError or PanicException: the scanner's loop
// uses it to end the read at the first exception (its entry is guarded by NV_ENTRY too).
template <class Body>
PyObject* guard_reader_call(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(std::string(function) + ": " + e.what());
    }
}

}  // namespace norvane::py
