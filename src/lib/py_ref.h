// The one owning reference type of the binding layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace norvane::py {

// Owns one reference to a Python object (or nothing) and releases it when it goes out of
// scope, so every early return on an error path is leak-free. Move-only. Both ways in are
// explicit: `steal` adopts a new reference, `borrow` takes one of its own; there is no
// implicit conversion from or to PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        // The old object is released last: its destructor may run Python code that looks at this.
        PyObject* old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Adopts a new reference, typically straight from a C API call; nullptr gives an empty Ref.
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference over to the caller (for a return value or a stealing C API call).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* obj_ = nullptr;
};

}  // namespace norvane::py
