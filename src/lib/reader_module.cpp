// Entry of norvane._reader. It shares the class objects and PanicException of
// norvane._norvane, taken from that module's _C_API capsule at import, so the records and
// table sets of both modules are the very same classes.
#include "lib/entry_point.h"
#include "lib/py_reader.h"

namespace norvane::py {
namespace {

#define NV_FUNCTION(name, function, signature) \
    PyMethodDef { name, NV_ENTRY(function), METH_FASTCALL | METH_KEYWORDS, signature }

PyMethodDef reader_functions[] = {
    NV_FUNCTION("decode", decode_message_at, "decode(buffer, offset, length, tables)\n--\n\n"),
    NV_FUNCTION("load_tables", load_tables,
                "load_tables(root, master_table, master_version, local_version, centre, subcentre)\n--\n\n"),
    {"matrix", NV_ENTRY(message_matrix), METH_O, "matrix(message)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef NV_FUNCTION

PyModuleDef reader_def = {
    PyModuleDef_HEAD_INIT, "_reader", "", 0, reader_functions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

// Takes the shared objects from norvane._norvane, importing it if need be. The references
// are kept for the life of the process, as _norvane keeps its own.
bool share_state() {
    auto* shared = static_cast<const ModuleState*>(PyCapsule_Import("norvane._norvane._C_API", 0));
    if (shared == nullptr) return false;
    ModuleState& s = state();
    s = *shared;
    Py_XINCREF(s.panic_exception);
    for (PyTypeObject* type : {s.bufr_message_type, s.decoded_value_type, s.descriptor_type,
                               s.element_definition_type, s.sequence_definition_type, s.table_set_type})
        Py_XINCREF(type);
    return true;
}

PyObject* create_module() {
    if (!share_state()) return nullptr;
    PyObject* module = PyModule_Create(&reader_def);
    if (module == nullptr) return nullptr;
    PyTypeObject* message_base = create_message_base_type();
    PyTypeObject* scanner = message_base == nullptr ? nullptr : create_scanner_type();
    const bool added = scanner != nullptr &&
                       PyModule_AddObjectRef(module, "MessageBase", reinterpret_cast<PyObject*>(message_base)) == 0 &&
                       PyModule_AddObjectRef(module, "Scanner", reinterpret_cast<PyObject*>(scanner)) == 0 &&
                       add_table_types(module);
    Py_XDECREF(scanner);
    if (!added) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyObject* init_reader_module() {
    if (the_module == nullptr) {
        the_module = create_module();
        if (the_module == nullptr) return nullptr;
    }
    return Py_NewRef(the_module);
}

}  // namespace norvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__reader() {
    return NV_ENTRY(norvane::py::init_reader_module)();
}
