// Shared helpers of the binding layer: module state, argument parsing and conversion,
// and raising. This directory is the only code that includes Python.h. Every function handed
// to the interpreter is registered as NV_ENTRY(function) (entry_point.h); owned references
// are held in a Ref (py_ref.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "error/bufr_error.h"
#include "lib/entry_point.h"
#include "lib/py_ref.h"
#include "message/message.h"
#include "tables/table_set.h"

namespace norvane::py {

// Process-wide objects, created once in PyInit__norvane (single-phase init).
struct ModuleState {
    PyObject* panic_exception = nullptr;
    PyTypeObject* bufr_message_type = nullptr;
    PyTypeObject* decoded_value_type = nullptr;
    PyTypeObject* descriptor_type = nullptr;
    PyTypeObject* element_definition_type = nullptr;
    PyTypeObject* sequence_definition_type = nullptr;
    PyTypeObject* table_set_type = nullptr;
};
ModuleState& state();

// Parses fast-call arguments into `out` (one slot per name, all required, positional or
// keyword). On failure sets TypeError in the interpreter's wording and returns false.
// `function` is the name shown in messages, e.g. "parse_file".
bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::span<PyObject*> out);

// The same for tp_new-style calls (an argument tuple and a keyword dict or nullptr).
bool parse_tuple_args(const char* function, PyObject* args, PyObject* kwargs,
                      std::span<const char* const> names, std::span<PyObject*> out);

// Converters: on failure they set the exception (prefixed "argument '<name>': " where the
// interpreter's conversion says so) and return false.
bool as_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>& out);  // bytes or subclass
// str or subclass, in the file-system encoding (so a name os.fsdecode made from any octets
// comes back as those octets); a NUL stays in the path for the file functions to report.
bool as_path(PyObject* obj, const char* name, std::string& out);
// Out-of-range values that fit a signed 64-bit integer always raise OverflowError "out of range
// integral type conversion attempted"; wider ones keep the interpreter's own text unless
// `Uniform` asks for that text too.
enum class OverflowText { Interpreter, Uniform };
bool as_u8(PyObject* obj, const char* name, std::uint8_t& out);  // Uniform
bool as_u32(PyObject* obj, const char* name, std::uint32_t& out, OverflowText text = OverflowText::Interpreter);
bool as_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool as_code_list(PyObject* obj, const char* name, std::vector<std::uint32_t>& out);  // sequence of int, not str
// `obj` must be an instance of `type`; else TypeError "argument 'x': 'int' object cannot be cast as 'T'".
bool check_type(PyObject* obj, const char* name, PyTypeObject* type, const char* type_name);

// Raises the error as ValueError with its text (Internal becomes PanicException); returns nullptr.
PyObject* raise_error(const BufrError& error);
// The exception being raised, taken out of the error indicator (a new reference).
PyObject* take_raised_exception();
// Raises PanicException with `text`; returns nullptr.
PyObject* raise_panic(const std::string& text);
// PanicException (borrowed); SystemError while the module is not yet initialised.
PyObject* panic_exception_type() noexcept;

// New Python objects from C++ values; nullptr with an exception set on failure.
PyObject* to_str(std::string_view text);
PyObject* to_int_list(std::span<const std::uint32_t> codes);

// ---- Types and functions, each defined in the file of its concern, registered by module.cpp.
// py_message.cpp
PyTypeObject* create_bufr_message_type();
PyObject* new_bufr_message(BufrMessage&& message);  // a new BufrMessage object
const BufrMessage& bufr_message_of(PyObject* obj);  // obj must be a BufrMessage instance
PyObject* parse_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_all_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_all_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// py_descriptor.cpp
PyTypeObject* create_descriptor_type();
// py_tables.cpp
PyTypeObject* create_element_definition_type();
PyTypeObject* create_sequence_definition_type();
PyTypeObject* create_table_set_type();
PyObject* new_table_set(TableSet&& tables);     // a new TableSet object
const TableSet& table_set_of(PyObject* obj);    // obj must be a TableSet instance
class SharedStrings;
SharedStrings& shared_strings_of(PyObject* obj);  // the TableSet object's str cache, made on first use
PyObject* expand_descriptors(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// py_decode.cpp
PyTypeObject* create_decoded_value_type();
PyObject* decode_values(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* decode_values_with_tables(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* decode_values_with_definitions(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// The records of a parsed message (`section4`: its data octets) as a new list of DecodedValue
// objects, decoded with the tables of TableSet object `tables`, whose strs they share.
PyObject* decode_parsed_message(const BufrMessage& message, std::span<const std::uint8_t> section4,
                                PyObject* tables);

}  // namespace norvane::py
