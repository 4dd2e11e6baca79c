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
    Ref kwnames;
    if (nkw > 0) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            flat[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return parse_args(function, flat.data(), nargs, kwnames.get(), names, out);
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
    const Ref exc = Ref::steal(PyErr_GetRaisedException());
#else
    // The interpreters before 3.12 have no PyErr_GetRaisedException.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    const Ref exc = Ref::steal(value);
#endif
    if (!exc) return false;
    const Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    return false;
}

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

// Integer conversion: TypeError names the argument; the overflow texts are described at
// OverflowText.
bool as_unsigned(PyObject* obj, const char* name, std::uint64_t max, std::uint64_t& out, OverflowText text) {
    const Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return prefix_type_error(name);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || static_cast<unsigned long long>(value) > max) return out_of_range();
        out = static_cast<std::uint64_t>(value);
        return true;
    }
    // Beyond the signed 64-bit range: only the unsigned 64-bit targets can still hold it.
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
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
    // Not PyUnicode_FSConverter: it would also take bytes and os.PathLike, and refuse a NUL
    // with ValueError before the file functions can report it as OSError.
    const Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(obj));
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
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
    const Ref fast = Ref::steal(PySequence_Fast(obj, ""));
    if (!fast) return prefix_type_error(name);
    out.clear();
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())));
    // An item's __index__ may change the list: its size is read again and each item held
    // while it is converted.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
        std::uint32_t code = 0;
        if (!as_u32(item.get(), name, code)) return false;
        out.push_back(code);
    }
    return true;
}

bool check_type(PyObject* obj, const char* name, PyTypeObject* type, const char* type_name) {
    if (PyObject_TypeCheck(obj, type)) return true;
    return cast_error(obj, name, type_name);
}

PyObject* raise_error(const BufrError& error) {
    const std::string text = error.message();
    if (error.kind == ErrorKind::Internal) return raise_panic(text);
    const Ref message = Ref::steal(to_str(text));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    if (traceback != nullptr && error != nullptr) PyException_SetTraceback(error, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return error;
#endif
}

PyObject* raise_panic(const std::string& text) {
    PyErr_SetString(panic_exception_type(), text.c_str());
    return nullptr;
}

PyObject* panic_exception_type() noexcept {
    PyObject* type = state().panic_exception;
    return type != nullptr ? type : PyExc_SystemError;
}

PyObject* to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* to_int_list(std::span<const std::uint32_t> codes) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(codes[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace norvane::py
