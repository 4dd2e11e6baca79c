#include "lib/entry_point.h"

#include <exception>
#include <new>

#include "lib/binding.h"

namespace norvane::py {

PyObject* raise_current_exception(const char* entry) noexcept {
    // Formatted by the interpreter, not into a std::string: this path must not allocate in C++.
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        PyErr_Format(panic_exception_type(), "internal failure in %s: %s", entry, failure.what());
    } catch (...) {
        PyErr_Format(panic_exception_type(), "internal failure in %s: unknown C++ exception", entry);
    }
    return nullptr;
}

}  // namespace norvane::py
