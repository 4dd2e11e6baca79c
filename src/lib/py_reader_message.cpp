// MessageBase: where one message of a read lies and how to decode it. norvane.reader.Message
// subclasses it with the header properties; decode() stays here, on the path every value takes.
#include <memory>

#include "lib/borrowed_buffer.h"
#include "lib/entry_point.h"
#include "lib/py_reader.h"

namespace norvane::py {
namespace {

// Refers to str, int, dict, tuple and buffer objects only, none of which can refer back to a
// message, so instances are not GC-tracked. The parsed message is kept: decoding then starts
// at section 4, and it costs less than the values it yields.
struct MessageObject {
    PyObject_HEAD
    PyObject* buffer;  // the source's buffer object, or the message's own bytes
    PyObject* key;     // int: its table key, packed
    PyObject* by_key;  // dict (the read's table cache): table sets by key, (TableSet, source) when loaded
    PyObject* fields;  // tuple: the header fields, made on first use; or nullptr
    unsigned long long index;
    unsigned long long offset;
    unsigned long long at;  // where the message starts in `buffer`
    BufrMessage message;
};

MessageObject* as_message(PyObject* self) { return reinterpret_cast<MessageObject*>(self); }

void message_dealloc(PyObject* self) noexcept {
    MessageObject* m = as_message(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(m->buffer);
    Py_XDECREF(m->key);
    Py_XDECREF(m->by_key);
    Py_XDECREF(m->fields);
    std::destroy_at(&m->message);
    type->tp_free(self);
    Py_DECREF(type);
}

// Replaces the ValueError being raised (a decoder error, or a buffer that is gone) by the
// error the subclass makes of it with `_read_error(error)`; anything else passes unchanged.
PyObject* raise_read_error(PyObject* self) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyObject* error = take_raised_exception();
    PyObject* replaced = PyObject_CallMethod(self, "_read_error", "O", error);
    Py_XDECREF(error);
    if (replaced == nullptr) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(replaced)), replaced);
    Py_DECREF(replaced);
    return nullptr;
}

// The octets of the message's section 4 data; false with the error set when its buffer no
// longer holds the message (a bytearray that shrank, a closed mmap).
bool section4_octets(PyObject* self, BorrowedBuffer& buffer, Octets& section4) {
    MessageParts parts{};
    if (!message_parts(self, parts) || !buffer.borrow(parts.buffer, "buffer")) return false;
    const std::optional<Octets> found = section4_in(parts, buffer.octets());
    if (!found) {
        PyErr_SetString(PyExc_ValueError, kSourceChanged);
        return false;
    }
    section4 = *found;
    return true;
}

// A new reference to the message's TableSet: from the read's cache when its key is loaded,
// else from the subclass's `_tables()`, which loads it or raises.
PyObject* tables_of(PyObject* self) {
    MessageObject* m = as_message(self);
    PyObject* found = PyDict_GetItemWithError(m->by_key, m->key);
    if (found != nullptr && PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) == 2)
        return Py_NewRef(PyTuple_GET_ITEM(found, 0));
    if (PyErr_Occurred()) return nullptr;
    PyObject* chosen = PyObject_CallMethod(self, "_tables", nullptr);
    if (chosen == nullptr) return nullptr;
    PyObject* tables = PyTuple_Check(chosen) && PyTuple_GET_SIZE(chosen) == 2
                           ? Py_NewRef(PyTuple_GET_ITEM(chosen, 0))
                           : nullptr;
    Py_DECREF(chosen);
    if (tables == nullptr) PyErr_SetString(PyExc_TypeError, "_tables() must return (TableSet, source)");
    return tables;
}

PyObject* message_decode(PyObject* self, PyObject*) {
    Ref tables = Ref::steal(message_table_set(self));
    if (!tables) return nullptr;
    BorrowedBuffer buffer;
    Octets section4;
    PyObject* values = section4_octets(self, buffer, section4)
                           ? decode_parsed_message(as_message(self)->message, section4, tables.get())
                           : nullptr;
    return values != nullptr ? values : raise_read_error(self);
}

PyObject* message_header(PyObject* self, PyObject*) {
    MessageObject* m = as_message(self);
    if (m->fields == nullptr) {
        m->fields = header_tuple(m->message);
        if (m->fields == nullptr) return nullptr;
    }
    return Py_NewRef(m->fields);
}

PyMethodDef message_methods[] = {
    {"decode", NV_ENTRY(message_decode), METH_NOARGS,
     "decode($self)\n--\n\nThe message's values, as decode_values_with_tables gives them for its tables."},
    {"_header", NV_ENTRY(message_header), METH_NOARGS, "_header($self)\n--\n\nThe header fields, parsed on first use."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_index(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_message(self)->index); }
PyObject* get_offset(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_message(self)->offset); }
PyObject* get_length(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_message(self)->message.total_length);
}
PyObject* get_key(PyObject* self, void*) { return Py_NewRef(as_message(self)->key); }
PyObject* get_cache(PyObject* self, void*) { return Py_NewRef(as_message(self)->by_key); }

PyGetSetDef message_getset[] = {
    {"index", NV_ENTRY(get_index), nullptr, "Position among the markers of the source, bad ones included, from 0.", nullptr},
    {"offset", NV_ENTRY(get_offset), nullptr, "Octet offset of the message in the source.", nullptr},
    {"length", NV_ENTRY(get_length), nullptr, "The declared total length.", nullptr},
    {"_key", NV_ENTRY(get_key), nullptr, nullptr, nullptr},
    {"_cache", NV_ENTRY(get_cache), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(message_dealloc)},
    {Py_tp_methods, message_methods},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "norvane._reader.MessageBase",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    message_slots,
};

}  // namespace

bool message_parts(PyObject* obj, MessageParts& out) {
    PyTypeObject* type = message_base_type();
    if (type == nullptr || !PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "expected a message of norvane.read(), not '%s'", Py_TYPE(obj)->tp_name);
        return false;
    }
    const MessageObject* m = as_message(obj);
    out = {&m->message, m->buffer, m->key, m->at, m->index, m->offset};
    return true;
}

std::optional<Octets> section4_in(const MessageParts& parts, Octets octets) {
    const BufrMessage& message = *parts.message;
    if (parts.at > octets.size() || message.total_length > octets.size() - parts.at) return std::nullopt;
    return octets.subspan(parts.at, message.total_length)
        .subspan(message.section4_data_offset, message.section4_data_length);
}

PyObject* message_table_set(PyObject* message) {
    PyObject* tables = tables_of(message);  // a failed load raises the subclass's error already
    if (tables == nullptr) return nullptr;
    if (!PyObject_TypeCheck(tables, state().table_set_type)) {
        Py_DECREF(tables);
        return PyErr_Format(PyExc_TypeError, "the tables of a message must be a TableSet, not '%s'",
                            Py_TYPE(tables)->tp_name);
    }
    return tables;
}

PyObject* message_error(PyObject* message, const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    raise_read_error(message);
    return take_raised_exception();
}

PyTypeObject* create_message_base_type() {
    PyTypeObject*& type = message_base_type();
    if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&message_spec));
    return type;
}

PyTypeObject*& message_base_type() {
    static PyTypeObject* type = nullptr;
    return type;
}

PyObject* new_message(PyTypeObject* type, PyObject* buffer, std::uint64_t at, std::uint64_t index,
                      std::uint64_t offset, BufrMessage&& message, PyObject* by_key) {
    PyObject* key_object = PyLong_FromUnsignedLongLong(packed_table_key(message));
    if (key_object == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        Py_DECREF(key_object);
        return nullptr;
    }
    MessageObject* m = as_message(self);
    m->buffer = Py_NewRef(buffer);
    m->key = key_object;
    m->by_key = Py_NewRef(by_key);
    m->fields = nullptr;
    m->index = index;
    m->offset = offset;
    m->at = at;
    std::construct_at(&m->message, std::move(message));  // moves only: cannot throw
    return self;
}

}  // namespace norvane::py
