// The DecodedValue class and the three decoding functions.
#include <array>
#include <optional>
#include <vector>

#include "data/decoder.h"
#include "data/float_repr.h"
#include "error/quoted.h"
#include "error/text.h"
#include "lib/binding.h"
#include "lib/shared_strings.h"
#include "tables/definitions_root.h"
#include "tables/eccodes_loader.h"

namespace norvane::py {
namespace {

// A record as Python holds it: numbers unboxed, strings shared. It can only refer to str
// objects, which cannot form cycles, so the type is not GC-tracked (64 bytes per object).
struct ValueObject {
    PyObject_HEAD
    PyObject* name;         // str, one object per distinct name per decode call
    PyObject* raw_text;     // str or nullptr
    PyObject* raw_meaning;  // str or nullptr, shared like name
    double raw_value;
    std::uint64_t raw;
    std::uint32_t descriptor;
    std::uint8_t flags;
};

constexpr std::uint8_t kHasRawValue = 1;
constexpr std::uint8_t kHasRaw = 2;

ValueObject* as_value(PyObject* self) { return reinterpret_cast<ValueObject*>(self); }

void value_dealloc(PyObject* self) noexcept {
    ValueObject* value = as_value(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(value->name);
    Py_XDECREF(value->raw_text);
    Py_XDECREF(value->raw_meaning);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_value(self)->descriptor); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_value(self)->name); }

PyObject* get_raw_value(PyObject* self, void*) {
    const ValueObject* value = as_value(self);
    if (!(value->flags & kHasRawValue)) Py_RETURN_NONE;
    return PyFloat_FromDouble(value->raw_value);
}

PyObject* get_raw(PyObject* self, void*) {
    const ValueObject* value = as_value(self);
    if (!(value->flags & kHasRaw)) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(value->raw);
}

PyObject* new_ref_or_none(PyObject* obj) { return obj == nullptr ? Py_NewRef(Py_None) : Py_NewRef(obj); }

PyObject* get_raw_text(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_text); }

PyObject* get_raw_meaning(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_meaning); }

// The text if any, else the meaning, else the number, else None.
PyObject* get_data(PyObject* self, void* closure) {
    const ValueObject* value = as_value(self);
    if (value->raw_text != nullptr) return Py_NewRef(value->raw_text);
    if (value->raw_meaning != nullptr) return Py_NewRef(value->raw_meaning);
    return get_raw_value(self, closure);
}

bool append_quoted(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return false;
    out += quoted({utf8, static_cast<std::size_t>(size)});
    return true;
}

// DecodedValue(012101, Some(273.15)); the payload is chosen like `data`.
PyObject* value_repr(PyObject* self) {
    const ValueObject* value = as_value(self);
    std::string text = concat("DecodedValue(", fxy6(value->descriptor), ", ");
    if (value->raw_text != nullptr || value->raw_meaning != nullptr) {
        if (!append_quoted(text, value->raw_text != nullptr ? value->raw_text : value->raw_meaning))
            return nullptr;
    } else if (!(value->flags & kHasRawValue)) {
        text += "None";
    } else {
        text += "Some(";
        append_float_repr(text, value->raw_value);
        text += ')';
    }
    text += ')';
    return to_str(text);
}

PyGetSetDef value_getset[] = {
    {"descriptor", NV_ENTRY(get_descriptor), nullptr, nullptr, nullptr},
    {"name", NV_ENTRY(get_name), nullptr, nullptr, nullptr},
    {"raw_value", NV_ENTRY(get_raw_value), nullptr, nullptr, nullptr},
    {"raw", NV_ENTRY(get_raw), nullptr, nullptr, nullptr},
    {"raw_text", NV_ENTRY(get_raw_text), nullptr, nullptr, nullptr},
    {"raw_meaning", NV_ENTRY(get_raw_meaning), nullptr, nullptr, nullptr},
    {"data", NV_ENTRY(get_data), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(value_dealloc)},
    {Py_tp_repr, NV_ENTRY(value_repr)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec value_spec = {
    "norvane._norvane.DecodedValue",
    sizeof(ValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    value_slots,
};

// A new DecodedValue object holding `record`, or nullptr with an exception set.
// `texts` shares one str between the records of one text (a compressed column's common
// text serves every subset); it is made for the first text and must not outlive the
// decoded message. Inlined into both
// layouts' loops: a call per record costs more than the record's own work.
[[gnu::always_inline]] inline PyObject* new_value(PyTypeObject* type, const DecodedValue& record, SharedStrings& strings,
                                                 std::optional<SharedStrings>& texts) {
    // Straight from the object allocator: the type has no GC header and no __dict__.
    auto* value = static_cast<ValueObject*>(PyObject_Malloc(sizeof(ValueObject)));
    if (value == nullptr) return PyErr_NoMemory();
    PyObject* self = PyObject_Init(reinterpret_cast<PyObject*>(value), type);
    value->name = nullptr;
    value->raw_text = nullptr;
    value->raw_meaning = nullptr;
    value->raw_value = record.raw_value;
    value->raw = record.raw;
    value->descriptor = record.descriptor;
    value->flags = static_cast<std::uint8_t>((record.has_raw_value ? kHasRawValue : 0) |
                                             (record.has_raw ? kHasRaw : 0));
    Ref owned = Ref::steal(self);
    PyObject* name = strings.get(record.name.data(), record.name);
    if (name == nullptr) return nullptr;
    value->name = Py_NewRef(name);
    if (record.raw_meaning != nullptr) {
        PyObject* meaning = strings.get(record.raw_meaning->data(), *record.raw_meaning);
        if (meaning == nullptr) return nullptr;
        value->raw_meaning = Py_NewRef(meaning);
    }
    if (record.has_raw_text) {
        if (!texts) texts.emplace();
        PyObject* text = texts->get(record.raw_text.data(), record.raw_text);
        if (text == nullptr) return nullptr;
        value->raw_text = Py_NewRef(text);
    }
    return owned.release();
}

// The records as a new list of DecodedValue objects, built in one pass.
PyObject* to_value_list(const DecodedMessage& records, SharedStrings& strings) {
    PyTypeObject* type = state().decoded_value_type;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    const auto size = static_cast<Py_ssize_t>(records.size());
    Py_ssize_t index = 0;
    std::optional<SharedStrings> texts;
    const bool complete = records.for_each([&](const DecodedValue& record) {
        // The list was sized by size(): a walk that yields more must not write past it.
        if (index == size) return false;
        PyObject* value = new_value(type, record, strings, texts);
        if (value == nullptr) return false;
        PyList_SET_ITEM(list.get(), index++, value);
        return true;
    });
    if (PyErr_Occurred()) return nullptr;
    if (!complete || index != size) return raise_panic("decoded records do not match their count");
    return list.release();
}

struct FirstMessage {
    BufrMessage message;
    std::span<const std::uint8_t> section4;
};

// The first message of `data`, parsed; MissingMarker when there is none. Later messages
// are only located by the split, never parsed.
Result<FirstMessage> first_message(std::span<const std::uint8_t> data) {
    NV_ASSIGN(const std::vector<MessageSpan> spans, split_messages(data));
    if (spans.empty()) return std::unexpected(make_error(ErrorKind::MissingMarker));
    const std::span<const std::uint8_t> octets = data.subspan(spans[0].offset, spans[0].length);
    NV_ASSIGN(BufrMessage message, parse_message(octets));
    if (message.section4_data_offset > octets.size() ||
        message.section4_data_length > octets.size() - message.section4_data_offset) [[unlikely]]
        return std::unexpected(internal_error("section 4 data lies outside the parsed message"));
    const auto section4 = octets.subspan(message.section4_data_offset, message.section4_data_length);
    return FirstMessage{std::move(message), section4};
}

PyObject* decode_with(const FirstMessage& first, const TableSet& tables, SharedStrings& strings) {
    const auto records = decode_message(first.message, tables, first.section4);
    if (!records) return raise_error(records.error());
    return to_value_list(*records, strings);
}

// Tables loaded for one call share their strings for that call only.
PyObject* decode_with(const FirstMessage& first, const TableSet& tables) {
    SharedStrings strings;
    return decode_with(first, tables, strings);
}

constexpr std::array<const char*, 2> kTableDirArgs{"data", "table_dir"};
constexpr std::array<const char*, 2> kTablesArgs{"data", "tables"};
constexpr std::array<const char*, 2> kDefinitionsArgs{"data", "definitions_root"};

}  // namespace

PyTypeObject* create_decoded_value_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&value_spec));
}

PyObject* decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> values{};
    std::span<const std::uint8_t> data;
    std::string table_dir;
    if (!parse_args("decode_values", args, nargs, kwnames, kTableDirArgs, values) ||
        !as_bytes(values[0], "data", data) || !as_path(values[1], "table_dir", table_dir))
        return nullptr;
    const auto first = first_message(data);
    if (!first) return raise_error(first.error());
    const auto tables = from_eccodes_dir(table_dir);
    if (!tables) return raise_error(tables.error());
    return decode_with(*first, *tables);
}

PyObject* decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> values{};
    std::span<const std::uint8_t> data;
    if (!parse_args("decode_values_with_tables", args, nargs, kwnames, kTablesArgs, values) ||
        !as_bytes(values[0], "data", data) ||
        !check_type(values[1], "tables", state().table_set_type, "TableSet"))
        return nullptr;
    const auto first = first_message(data);
    if (!first) return raise_error(first.error());
    // A table set kept by the caller keeps its name strings across calls.
    return decode_with(*first, table_set_of(values[1]), shared_strings_of(values[1]));
}

PyObject* decode_parsed_message(const BufrMessage& message, std::span<const std::uint8_t> section4,
                                PyObject* tables) {
    const auto records = decode_message(message, table_set_of(tables), section4);
    if (!records) return raise_error(records.error());
    return to_value_list(*records, shared_strings_of(tables));
}

PyObject* decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> values{};
    std::span<const std::uint8_t> data;
    std::string root;
    if (!parse_args("decode_values_with_definitions", args, nargs, kwnames, kDefinitionsArgs, values) ||
        !as_bytes(values[0], "data", data) || !as_path(values[1], "definitions_root", root))
        return nullptr;
    const auto first = first_message(data);
    if (!first) return raise_error(first.error());
    const auto tables = from_eccodes_definitions(root, first->message);
    if (!tables) return raise_error(tables.error());
    return decode_with(*first, *tables);
}

}  // namespace norvane::py
