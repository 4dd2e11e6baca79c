#include "lib/binding.h"

#include <cstring>
#include <vector>

namespace norvane::py {

ModuleState& state() {
    static ModuleState module_state;
    return module_state;
}

bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::span<PyObject*> out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function,
                     count, count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[static_cast<std::size_t>(i)] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) return false;
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (std::strcmp(names[static_cast<std::size_t>(i)], key_text) == 0) slot = i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, key_text);
            return false;
        }
        if (out[static_cast<std::size_t>(slot)] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, key_text);
            return false;
        }
        out[static_cast<std::size_t>(slot)] = args[nargs + k];
    }
    // Name every missing argument, as the interpreter does: 'a', 'b' and 'c'.
    Py_ssize_t missing = 0;
    for (PyObject* obj : out) missing += obj == nullptr;
    if (missing == 0) return true;
    std::string listed;
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (out[static_cast<std::size_t>(i)] != nullptr) continue;
        ++seen;
        if (seen > 1) listed += missing == 2 ? " and " : (seen == missing ? ", and " : ", ");
        listed += '\'';
        listed += names[static_cast<std::size_t>(i)];
        listed += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function, missing,
                 missing == 1 ? "" : "s", listed.c_str());
    return false;
}

bool parse_tuple_args(const char* function, PyObject* args, PyObject* kwargs,
                      std::span<const char* const> names, std::span<PyObject*> out) {
    // Lay the call out as a fast call: positional items, then keyword values with their names.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    PyObject* kwnames = nullptr;
    if (nkw > 0) {
        kwnames = PyTuple_New(nkw);
        if (kwnames == nullptr) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
            flat[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    const bool ok = parse_args(function, flat.data(), nargs, kwnames, names, out);
    Py_XDECREF(kwnames);
    return ok;
}

namespace {

bool cast_error(PyObject* obj, const char* name, const char* type_name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as '%s'", name,
                 Py_TYPE(obj)->tp_name, type_name);
    return false;
}

// Re-raises the current TypeError with "argument '<name>': " in front of its text.
bool prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *exc = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &exc, &traceback);
    PyErr_NormalizeException(&type, &exc, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    if (exc == nullptr) return false;
    PyObject* text = PyObject_Str(exc);
    Py_DECREF(exc);
    if (text == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
    return false;
}

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

// Integer conversion: TypeError names the argument; the overflow texts are described at
// OverflowText.
bool as_unsigned(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t& out, OverflowText text) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return prefix_type_error(name);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow == 0) {
        Py_DECREF(index);
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || static_cast<unsigned long long>(value) > max) return out_of_range();
        out = static_cast<std::uint64_t>(value);
        return true;
    }
    // Beyond the signed 64-bit range: only the unsigned 64-bit targets can still hold it.
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (text == OverflowText::Uniform && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return out_of_range();
        }
        return false;
    }
    if (wide > max) return out_of_range();
    out = wide;
    return true;
}

}  // namespace

bool as_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>& out) {
    if (!PyBytes_Check(obj)) return cast_error(obj, name, "bytes");
    out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
           static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    return true;
}

bool as_path(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) return cast_error(obj, name, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool as_u8(PyObject* obj, const char* name, std::uint8_t& out) {
    std::uint64_t value = 0;
    if (!as_unsigned(obj, name, 0xFF, value, OverflowText::Uniform)) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool as_u32(PyObject* obj, const char* name, std::uint32_t& out, OverflowText text) {
    std::uint64_t value = 0;
    if (!as_unsigned(obj, name, 0xFFFFFFFFu, value, text)) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool as_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    return as_unsigned(obj, name, ~std::uint64_t{0}, out, OverflowText::Interpreter);
}

bool as_code_list(PyObject* obj, const char* name, std::vector<std::uint32_t>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyObject* fast = PySequence_Fast(obj, "");
    if (fast == nullptr) return prefix_type_error(name);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    PyObject** items = PySequence_Fast_ITEMS(fast);
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint32_t code = 0;
        if (!as_u32(items[i], name, code)) {
            Py_DECREF(fast);
            return false;
        }
        out.push_back(code);
    }
    Py_DECREF(fast);
    return true;
}

bool check_type(PyObject* obj, const char* name, PyTypeObject* type, const char* type_name) {
    if (PyObject_TypeCheck(obj, type)) return true;
    return cast_error(obj, name, type_name);
}

PyObject* raise_error(const BufrError& error) {
    const std::string text = error.message();
    if (error.kind == ErrorKind::Internal) return raise_panic(text);
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* raise_panic(const std::string& text) {
    PyErr_SetString(state().panic_exception, text.c_str());
    return nullptr;
}

PyObject* to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* to_int_list(std::span<const std::uint32_t> codes) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(codes.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(codes[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace norvane::py
