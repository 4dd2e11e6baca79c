// How a function of this module is handed to the interpreter: always as NV_ENTRY(function),
// in every PyMethodDef, PyGetSetDef and PyType_Slot and in PyInit. The entry catches every C++
// exception, which would otherwise unwind into the interpreter and terminate the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace norvane::py {

// Fast-call signature of every module function and method taking arguments.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Sets the Python exception for the C++ exception being handled: std::bad_alloc becomes
// MemoryError, anything else PanicException naming `entry`. Returns nullptr. Call it only
// inside a catch block.
PyObject* raise_current_exception(const char* entry) noexcept;

// A function's name as a template argument, for the text of the internal-failure exception.
template <std::size_t N>
struct EntryName {
    constexpr EntryName(const char (&name)[N]) { std::copy_n(name, N, text); }
    char text[N];
};

// `Function` behind a noexcept wrapper of the same signature. A function that cannot throw is
// called as it is; one returning a new reference turns an escaping exception into a Python
// exception and returns nullptr. Only those two kinds may be entries.
template <EntryName Name, auto Function, class = decltype(Function)>
struct Guarded;

template <EntryName Name, auto Function, class R, class... Args, bool NoThrow>
struct Guarded<Name, Function, R (*)(Args...) noexcept(NoThrow)> {
    static_assert(NoThrow || std::is_same_v<R, PyObject*>,
                  "an entry that may throw must return PyObject*, so a failure can be reported");

    static R call(Args... args) noexcept {
        if constexpr (NoThrow) {
            return Function(args...);
        } else {
            try {
                return Function(args...);
            } catch (...) {
                return raise_current_exception(Name.text);
            }
        }
    }
};

// A guarded function pointer that converts to the field it is registered in: as it is for
// getters, void* for type slots, PyCFunction for fast-call functions and methods.
template <class R, class... Args>
class EntryPoint {
public:
    using Pointer = R (*)(Args...);
    constexpr explicit EntryPoint(Pointer function) noexcept : function_(function) {}

    operator Pointer() const noexcept { return function_; }
    operator void*() const noexcept { return reinterpret_cast<void*>(function_); }
    operator PyCFunction() const noexcept
        requires std::is_same_v<Pointer, FastFunction>
    {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_));
    }

private:
    Pointer function_;
};

template <class R, class... Args>
constexpr EntryPoint<R, Args...> make_entry_point(R (*function)(Args...) noexcept) noexcept {
    return EntryPoint<R, Args...>(function);
}

}  // namespace norvane::py

// The guarded entry for `function` (a function or a function template instance).
#define NV_ENTRY(...) \
    (::norvane::py::make_entry_point(&::norvane::py::Guarded<#__VA_ARGS__, __VA_ARGS__>::call))
