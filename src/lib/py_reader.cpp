#include "lib/py_reader.h"

#include <array>
#include <exception>
#include <memory>
#include <new>

#include "error/text.h"
#include "message/message_scan.h"
#include "tables/definitions_root.h"

namespace norvane::py {
namespace {

struct DecRef {
    void operator()(PyObject* obj) const { Py_DECREF(obj); }
};
using Owned = std::unique_ptr<PyObject, DecRef>;

// The octets of a buffer-protocol object, held for the length of one call.
class BorrowedBuffer {
public:
    BorrowedBuffer() = default;
    BorrowedBuffer(const BorrowedBuffer&) = delete;
    BorrowedBuffer& operator=(const BorrowedBuffer&) = delete;
    ~BorrowedBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False with TypeError (or the object's own error, e.g. a closed mmap) set.
    bool borrow(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%s'", name,
                             Py_TYPE(obj)->tp_name);
            }
            return false;
        }
        held_ = true;
        return true;
    }

    Octets octets() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <class Body>
PyObject* guarded(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(concat(function, ": ", e.what()));
    }
}

PyObject* new_u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* new_optional(bool present, std::uint64_t value) {
    return present ? new_u64(value) : Py_NewRef(Py_None);
}

// Fills a new tuple from `items`, stealing each; nullptr (everything released) when an
// item or the tuple could not be made.
template <std::size_t N>
PyObject* tuple_of(std::array<PyObject*, N> items) {
    PyObject* tuple = nullptr;
    bool complete = true;
    for (PyObject* item : items) complete = complete && item != nullptr;
    if (complete) tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
    for (std::size_t i = 0; i < N; ++i) {
        if (tuple != nullptr)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i]);
        else
            Py_XDECREF(items[i]);
    }
    return tuple;
}

// The header fields in the order norvane.reader.Message reads them; absent fields are None.
PyObject* header_tuple(const BufrMessage& m) {
    return tuple_of(std::array{
        new_u64(m.edition), new_u64(m.master_table_number), new_u64(m.originating_centre),
        new_optional(m.originating_subcentre_present, m.originating_subcentre), new_u64(m.update_sequence_number),
        new_u64(m.data_category),
        new_optional(m.international_data_subcategory_present, m.international_data_subcategory),
        new_u64(m.local_data_subcategory), new_u64(m.master_tables_version_number),
        new_u64(m.local_tables_version_number), new_u64(m.typical_year), new_u64(m.typical_month),
        new_u64(m.typical_day), new_u64(m.typical_hour), new_u64(m.typical_minute),
        new_optional(m.typical_second_present, m.typical_second), new_u64(m.number_of_subsets),
        PyBool_FromLong(m.observed_data), PyBool_FromLong(m.compressed_data),
        to_int_list(m.unexpanded_descriptors), PyBool_FromLong(m.local_section_present)});
}

// Without local tables (local version 0) the centre and sub-centre choose nothing, so they
// are left out of the key and such messages share one table set.
std::uint64_t packed_key(const BufrMessage& m) {
    TableKey key = table_key(m);
    if (key.local_version == 0) key.centre = key.subcentre = 0;
    return std::uint64_t{key.master_table} << 48 | std::uint64_t{key.master_version} << 40 |
           std::uint64_t{key.local_version} << 32 | std::uint64_t{key.centre} << 16 | key.subcentre;
}

PyObject* step_payload(const ScanStep& step) {
    switch (step.kind) {
        case ScanStep::Kind::Message: return new_u64(packed_key(step.message));
        case ScanStep::Kind::Bad:
            if (step.error.kind == ErrorKind::Internal) return raise_error(step.error);
            return to_str(step.error.message());
        case ScanStep::Kind::End:
        case ScanStep::Kind::Cut: break;
    }
    return Py_NewRef(Py_None);
}

// The message span buffer[offset:offset + length]; false with ValueError set when it
// lies outside the buffer.
bool message_span(const BorrowedBuffer& buffer, std::uint64_t offset, std::uint64_t length, Octets& span) {
    const Octets octets = buffer.octets();
    if (offset > octets.size() || length > octets.size() - offset) {
        PyErr_Format(PyExc_ValueError, "message at offset %llu of length %llu lies outside a buffer of %zu octets",
                     static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length), octets.size());
        return false;
    }
    span = octets.subspan(offset, length);
    return true;
}

// Buffer, offset and length, the first three arguments of header() and decode().
bool span_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<const char* const> names, std::span<PyObject*> values, BorrowedBuffer& buffer,
                    Octets& span) {
    std::uint64_t offset = 0, length = 0;
    return parse_args(function, args, nargs, kwnames, names, values) && as_u64(values[1], "offset", offset) &&
           as_u64(values[2], "length", length) && buffer.borrow(values[0], "buffer") &&
           message_span(buffer, offset, length, span);
}

PyObject* path_str(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

constexpr std::array<const char*, 2> kNextArgs{"buffer", "start"};
constexpr std::array<const char*, 3> kHeaderArgs{"buffer", "offset", "length"};
constexpr std::array<const char*, 4> kDecodeArgs{"buffer", "offset", "length", "tables"};
constexpr std::array<const char*, 6> kTableArgs{"root",          "master_table", "master_version",
                                                 "local_version", "centre",       "subcentre"};

}  // namespace

PyObject* next_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> values{};
    std::uint64_t start = 0;
    BorrowedBuffer buffer;
    if (!parse_args("next_message", args, nargs, kwnames, kNextArgs, values) ||
        !as_u64(values[1], "start", start) || !buffer.borrow(values[0], "buffer"))
        return nullptr;
    return guarded("next_message", [&]() -> PyObject* {
        const Octets octets = buffer.octets();
        const ScanStep step = scan_next(octets, std::min<std::uint64_t>(start, octets.size()));
        return tuple_of(std::array{PyLong_FromLong(static_cast<long>(step.kind)), new_u64(step.offset),
                                   new_u64(step.length), new_u64(step.next), step_payload(step)});
    });
}

PyObject* message_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> values{};
    BorrowedBuffer buffer;
    Octets span;
    if (!span_arguments("header", args, nargs, kwnames, kHeaderArgs, values, buffer, span)) return nullptr;
    return guarded("header", [&]() -> PyObject* {
        const auto message = parse_message_any_edition(span);
        if (!message) return raise_error(message.error());
        return header_tuple(*message);
    });
}

PyObject* decode_message_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> values{};
    BorrowedBuffer buffer;
    Octets span;
    if (!span_arguments("decode", args, nargs, kwnames, kDecodeArgs, values, buffer, span) ||
        !check_type(values[3], "tables", state().table_set_type, "TableSet"))
        return nullptr;
    return guarded("decode", [&]() -> PyObject* {
        const auto message = parse_message_any_edition(span);
        if (!message) return raise_error(message.error());
        const auto section4 = span.subspan(message->section4_data_offset, message->section4_data_length);
        return decode_parsed_message(*message, section4, values[3]);
    });
}

PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 6> values{};
    std::string root;
    TableKey key;
    if (!parse_args("load_tables", args, nargs, kwnames, kTableArgs, values) || !as_path(values[0], "root", root) ||
        !as_u8(values[1], "master_table", key.master_table) ||
        !as_u8(values[2], "master_version", key.master_version) ||
        !as_u8(values[3], "local_version", key.local_version))
        return nullptr;
    std::uint32_t centre = 0, subcentre = 0;
    if (!as_u32(values[4], "centre", centre) || !as_u32(values[5], "subcentre", subcentre)) return nullptr;
    if (centre > 0xFFFF || subcentre > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    key.centre = static_cast<std::uint16_t>(centre);
    key.subcentre = static_cast<std::uint16_t>(subcentre);
    return guarded("load_tables", [&]() -> PyObject* {
        TableSource source;
        Result<TableSet> tables = from_eccodes_definitions(root, key, &source);
        if (!tables) return raise_error(tables.error());
        return tuple_of(std::array{new_table_set(std::move(*tables)), path_str(source.master_dir),
                                   source.local_dir.empty() ? Py_NewRef(Py_None) : path_str(source.local_dir)});
    });
}

}  // namespace norvane::py
