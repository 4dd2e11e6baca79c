// Module entry: creates the module once per process with its six classes and eight functions.
#include "lib/binding.h"

namespace norvane::py {
namespace {

#define NV_FUNCTION(name, signature) PyMethodDef{#name, NV_ENTRY(name), METH_FASTCALL | METH_KEYWORDS, signature}

PyMethodDef module_functions[] = {
    NV_FUNCTION(parse_bytes, "parse_bytes(data)\n--\n\n"),
    NV_FUNCTION(parse_file, "parse_file(path)\n--\n\n"),
    NV_FUNCTION(parse_all_bytes, "parse_all_bytes(data)\n--\n\n"),
    NV_FUNCTION(parse_all_file, "parse_all_file(path)\n--\n\n"),
    NV_FUNCTION(expand_descriptors, "expand_descriptors(table_dir, descriptors)\n--\n\n"),
    NV_FUNCTION(decode_values, "decode_values(data, table_dir)\n--\n\n"),
    NV_FUNCTION(decode_values_with_tables, "decode_values_with_tables(data, tables)\n--\n\n"),
    NV_FUNCTION(decode_values_with_definitions,
                "decode_values_with_definitions(data, definitions_root)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef NV_FUNCTION

// m_size 0 (not -1) makes a re-import call PyInit__norvane again, which hands back the
// module object created the first time instead of a copy of its dictionary.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_norvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
PyInterpreterState* the_interpreter = nullptr;

bool add_type(PyObject* module, const char* name, PyTypeObject*& slot, PyTypeObject* (*create)()) {
    if (slot == nullptr) slot = create();
    if (slot == nullptr) return false;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(slot)) == 0;
}

PyObject* create_module() {
    ModuleState& s = state();
    if (s.panic_exception == nullptr) {
        s.panic_exception = PyErr_NewExceptionWithDoc(
            "norvane._norvane.PanicException",
            "An internal invariant of the decoder broke; derived from BaseException.", PyExc_BaseException,
            nullptr);
        if (s.panic_exception == nullptr) return nullptr;
    }
    Ref owned = Ref::steal(PyModule_Create(&module_def));
    if (!owned) return nullptr;
    PyObject* module = owned.get();
    const bool ok = add_type(module, "BufrMessage", s.bufr_message_type, create_bufr_message_type) &&
                    add_type(module, "DecodedValue", s.decoded_value_type, create_decoded_value_type) &&
                    add_type(module, "Descriptor", s.descriptor_type, create_descriptor_type) &&
                    add_type(module, "ElementDefinition", s.element_definition_type, create_element_definition_type) &&
                    add_type(module, "SequenceDefinition", s.sequence_definition_type, create_sequence_definition_type) &&
                    add_type(module, "TableSet", s.table_set_type, create_table_set_type);
    if (!ok) return nullptr;
    // norvane._reader takes the classes and PanicException from here, to share them.
    const Ref capsule = Ref::steal(PyCapsule_New(&s, "norvane._norvane._C_API", nullptr));
    if (!capsule || PyModule_AddObjectRef(module, "_C_API", capsule.get()) != 0) return nullptr;
    const Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        const Ref function = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
        if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) != 0) return nullptr;
    }
    return owned.release();
}

PyObject* init_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (the_interpreter != nullptr && the_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "norvane._norvane supports one interpreter per process; it is already "
                        "initialised in another interpreter");
        return nullptr;
    }
    if (the_module == nullptr) {
        the_module = create_module();
        if (the_module == nullptr) return nullptr;
        the_interpreter = interpreter;
    }
    return Py_NewRef(the_module);
}

}  // namespace
}  // namespace norvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__norvane() {
    return NV_ENTRY(norvane::py::init_module)();
}
