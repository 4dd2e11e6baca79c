// The BufrMessage class and the four message functions.
#include <array>
#include <memory>
#include <type_traits>

#include "error/text.h"
#include "fs/files.h"
#include "lib/binding.h"

namespace norvane::py {
namespace {

struct MessageObject {
    PyObject_HEAD
    BufrMessage message;
};

const BufrMessage& message_of(PyObject* self) { return reinterpret_cast<MessageObject*>(self)->message; }

// Moved into a fresh object after allocation, where nothing may throw any more.
static_assert(std::is_nothrow_move_constructible_v<BufrMessage>);

void message_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<MessageObject*>(self)->message);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* message_repr(PyObject* self) {
    const BufrMessage& m = message_of(self);
    std::string text = concat("BufrMessage(edition=", m.edition, ", length=", m.total_length,
                              ", subsets=", m.number_of_subsets, ", descriptors=[");
    for (std::size_t i = 0; i < m.unexpanded_descriptors.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(m.unexpanded_descriptors[i]);
    }
    text += "])";
    return to_str(text);
}

// One read-only attribute per field.
template <auto Member>
PyObject* get_unsigned(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(message_of(self).*Member));
}
template <auto Member>
PyObject* get_bool(PyObject* self, void*) {
    return PyBool_FromLong(message_of(self).*Member);
}
PyObject* get_descriptors(PyObject* self, void*) { return to_int_list(message_of(self).unexpanded_descriptors); }

#define NV_FIELD(name, entry) PyGetSetDef{#name, entry, nullptr, nullptr, nullptr}
#define NV_UINT(name) NV_FIELD(name, NV_ENTRY(get_unsigned<&BufrMessage::name>))
#define NV_BOOL(name) NV_FIELD(name, NV_ENTRY(get_bool<&BufrMessage::name>))

PyGetSetDef message_getset[] = {
    NV_UINT(edition),
    NV_UINT(total_length),
    NV_UINT(master_table_number),
    NV_UINT(originating_centre),
    NV_UINT(originating_subcentre),
    NV_UINT(update_sequence_number),
    NV_BOOL(local_section_present),
    NV_UINT(data_category),
    NV_UINT(international_data_subcategory),
    NV_UINT(local_data_subcategory),
    NV_UINT(master_tables_version_number),
    NV_UINT(local_tables_version_number),
    NV_UINT(typical_year),
    NV_UINT(typical_month),
    NV_UINT(typical_day),
    NV_UINT(typical_hour),
    NV_UINT(typical_minute),
    NV_UINT(typical_second),
    NV_UINT(section1_length),
    NV_UINT(section2_length),
    NV_UINT(section3_length),
    NV_UINT(section4_length),
    NV_UINT(number_of_subsets),
    NV_BOOL(observed_data),
    NV_BOOL(compressed_data),
    NV_FIELD(unexpanded_descriptors, NV_ENTRY(get_descriptors)),
    NV_UINT(section4_data_offset),
    NV_UINT(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NV_BOOL
#undef NV_UINT
#undef NV_FIELD

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(message_dealloc)},
    {Py_tp_repr, NV_ENTRY(message_repr)},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "norvane._norvane.BufrMessage",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    message_slots,
};

// The file-reading failure of the two file functions is a plain OSError with the text only.
PyObject* raise_os_error(const BufrError& error) {
    PyErr_SetString(PyExc_OSError, error.text.c_str());
    return nullptr;
}

PyObject* parse_one(std::span<const std::uint8_t> data) {
    auto message = parse_message(data);
    if (!message) return raise_error(message.error());
    return new_bufr_message(std::move(*message));
}

PyObject* parse_every(std::span<const std::uint8_t> data) {
    auto spans = split_messages(data);
    if (!spans) return raise_error(spans.error());
    std::vector<BufrMessage> messages;
    messages.reserve(spans->size());
    for (const MessageSpan& span : *spans) {
        auto message = parse_message(data.subspan(span.offset, span.length));
        if (!message) return raise_error(message.error());
        messages.push_back(std::move(*message));
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(messages.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        PyObject* item = new_bufr_message(std::move(messages[i]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

constexpr std::array<const char*, 1> kDataArg{"data"};
constexpr std::array<const char*, 1> kPathArg{"path"};

bool data_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<const std::uint8_t>& data) {
    std::array<PyObject*, 1> values{};
    return parse_args(function, args, nargs, kwnames, kDataArg, values) && as_bytes(values[0], "data", data);
}

bool file_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string& contents) {
    std::array<PyObject*, 1> values{};
    std::string path;
    if (!parse_args(function, args, nargs, kwnames, kPathArg, values) || !as_path(values[0], "path", path))
        return false;
    auto read = fs::read_file(path);
    if (!read) {
        raise_os_error(read.error());
        return false;
    }
    contents = std::move(*read);
    return true;
}

std::span<const std::uint8_t> octets(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

PyTypeObject* create_bufr_message_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&message_spec));
}

PyObject* new_bufr_message(BufrMessage&& message) {
    PyTypeObject* type = state().bufr_message_type;
    auto* self = reinterpret_cast<MessageObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    std::construct_at(&self->message, std::move(message));
    return reinterpret_cast<PyObject*>(self);
}

const BufrMessage& bufr_message_of(PyObject* obj) { return message_of(obj); }

PyObject* parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::span<const std::uint8_t> data;
    if (!data_argument("parse_bytes", args, nargs, kwnames, data)) return nullptr;
    return parse_one(data);
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string contents;
    if (!file_argument("parse_file", args, nargs, kwnames, contents)) return nullptr;
    return parse_one(octets(contents));
}

PyObject* parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::span<const std::uint8_t> data;
    if (!data_argument("parse_all_bytes", args, nargs, kwnames, data)) return nullptr;
    return parse_every(data);
}

PyObject* parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string contents;
    if (!file_argument("parse_all_file", args, nargs, kwnames, contents)) return nullptr;
    return parse_every(octets(contents));
}

}  // namespace norvane::py
