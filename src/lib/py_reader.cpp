#include "lib/py_reader.h"

#include <array>

#include "lib/borrowed_buffer.h"
#include "tables/definitions_root.h"

namespace norvane::py {
namespace {

PyObject* new_u64(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* new_optional(bool present, std::uint64_t value) { return present ? new_u64(value) : Py_NewRef(Py_None); }

// A new tuple of `items`, each stolen; nullptr (every item released) when one of them or the
// tuple could not be made.
template <std::size_t N>
PyObject* tuple_of(std::array<PyObject*, N> items) {
    bool complete = true;
    for (PyObject* item : items) complete = complete && item != nullptr;
    PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(N)) : nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        if (tuple != nullptr)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i]);
        else
            Py_XDECREF(items[i]);
    }
    return tuple;
}

PyObject* path_str(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

constexpr std::array<const char*, 4> kDecodeArgs{"buffer", "offset", "length", "tables"};
constexpr std::array<const char*, 6> kTableArgs{"root",          "master_table", "master_version",
                                                 "local_version", "centre",       "subcentre"};

}  // namespace

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

std::uint64_t packed_table_key(const BufrMessage& m) {
    TableKey key = table_key(m);
    if (key.local_version == 0) key.centre = key.subcentre = 0;
    return std::uint64_t{key.master_table} << 48 | std::uint64_t{key.master_version} << 40 |
           std::uint64_t{key.local_version} << 32 | std::uint64_t{key.centre} << 16 | key.subcentre;
}

PyObject* decode_span(std::span<const std::uint8_t> span, PyObject* tables) {
    const auto message = parse_message_any_edition(span);
    if (!message) return raise_error(message.error());
    return decode_parsed_message(*message, span.subspan(message->section4_data_offset, message->section4_data_length),
                                 tables);
}

PyObject* decode_message_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> values{};
    std::uint64_t offset = 0, length = 0;
    BorrowedBuffer buffer;
    if (!parse_args("decode", args, nargs, kwnames, kDecodeArgs, values) || !as_u64(values[1], "offset", offset) ||
        !as_u64(values[2], "length", length) ||
        !check_type(values[3], "tables", state().table_set_type, "TableSet") || !buffer.borrow(values[0], "buffer"))
        return nullptr;
    const Octets octets = buffer.octets();
    if (offset > octets.size() || length > octets.size() - offset) {
        PyErr_Format(PyExc_ValueError, "message at offset %llu of length %llu lies outside a buffer of %zu octets",
                     static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length), octets.size());
        return nullptr;
    }
    return decode_span(octets.subspan(offset, length), values[3]);
}

PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 6> values{};
    std::string root;
    TableKey key;
    std::uint32_t centre = 0, subcentre = 0;
    if (!parse_args("load_tables", args, nargs, kwnames, kTableArgs, values) || !as_path(values[0], "root", root) ||
        !as_u8(values[1], "master_table", key.master_table) ||
        !as_u8(values[2], "master_version", key.master_version) ||
        !as_u8(values[3], "local_version", key.local_version) || !as_u32(values[4], "centre", centre) ||
        !as_u32(values[5], "subcentre", subcentre))
        return nullptr;
    if (centre > 0xFFFF || subcentre > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    key.centre = static_cast<std::uint16_t>(centre);
    key.subcentre = static_cast<std::uint16_t>(subcentre);
    TableSource source;
    Result<TableSet> tables = from_eccodes_definitions(root, key, &source);
    if (!tables) return raise_error(tables.error());
    return tuple_of(std::array{new_table_set(std::move(*tables)), path_str(source.master_dir),
                               source.local_dir.empty() ? Py_NewRef(Py_None) : path_str(source.local_dir)});
}

}  // namespace norvane::py
