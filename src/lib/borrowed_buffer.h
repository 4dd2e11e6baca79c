// The octets of a buffer-protocol object (bytes, bytearray, memoryview, mmap), borrowed for
// the length of one call and never copied.
#pragma once

#include "lib/binding.h"

namespace norvane::py {

class BorrowedBuffer {
public:
    BorrowedBuffer() = default;
    BorrowedBuffer(const BorrowedBuffer&) = delete;
    BorrowedBuffer& operator=(const BorrowedBuffer&) = delete;
    ~BorrowedBuffer() { release(); }

    // False with the object's error set: TypeError "argument '<name>': a bytes-like object is
    // required, not 'T'", or its own (ValueError for a closed mmap).
    bool borrow(PyObject* obj, const char* name) {
        release();
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%s'", name,
                             Py_TYPE(obj)->tp_name);
            return false;
        }
        held_ = true;
        return true;
    }

    // Gives the buffer back, so that its owner may resize it (a bytearray) before the next borrow.
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    Octets octets() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace norvane::py
