// The Descriptor class: F, X and Y of one descriptor, and its FXY code.
#include <array>

#include "descriptor/fxy.h"
#include "error/text.h"
#include "lib/binding.h"

namespace norvane::py {
namespace {

struct DescriptorObject {
    PyObject_HEAD
    Descriptor value;
};

Descriptor& value_of(PyObject* self) { return reinterpret_cast<DescriptorObject*>(self)->value; }

PyObject* new_descriptor(PyTypeObject* type, Descriptor value) {
    auto* self = reinterpret_cast<DescriptorObject*>(type->tp_alloc(type, 0));
    if (self != nullptr) self->value = value;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> names{"f", "x", "y"};
    std::array<PyObject*, 3> values{};
    Descriptor d;
    if (!parse_tuple_args("Descriptor", args, kwargs, names, values) || !as_u8(values[0], "f", d.f) ||
        !as_u8(values[1], "x", d.x) || !as_u8(values[2], "y", d.y))
        return nullptr;
    return new_descriptor(type, d);
}

void descriptor_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* descriptor_repr(PyObject* self) {
    return to_str(concat("Descriptor(", fxy6(value_of(self).code()), ")"));
}

PyObject* get_f(PyObject* self, void*) { return PyLong_FromLong(value_of(self).f); }
PyObject* get_x(PyObject* self, void*) { return PyLong_FromLong(value_of(self).x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromLong(value_of(self).y); }
PyObject* get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(value_of(self).code()); }

PyObject* from_fxy(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 1> names{"code"};
    std::array<PyObject*, 1> values{};
    std::uint32_t code = 0;
    if (!parse_args("from_fxy", args, nargs, kwnames, names, values) || !as_u32(values[0], "code", code, OverflowText::Uniform))
        return nullptr;
    (void)type;  // a static method: the class is not passed
    return new_descriptor(state().descriptor_type, Descriptor::from_code(code));
}

PyGetSetDef descriptor_getset[] = {
    {"f", NV_ENTRY(get_f), nullptr, nullptr, nullptr},
    {"x", NV_ENTRY(get_x), nullptr, nullptr, nullptr},
    {"y", NV_ENTRY(get_y), nullptr, nullptr, nullptr},
    {"fxy", NV_ENTRY(get_fxy), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"from_fxy", NV_ENTRY(from_fxy), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, NV_ENTRY(descriptor_new)},
    {Py_tp_dealloc, NV_ENTRY(descriptor_dealloc)},
    {Py_tp_repr, NV_ENTRY(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "norvane._norvane.Descriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

}  // namespace

PyTypeObject* create_descriptor_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&descriptor_spec));
}

}  // namespace norvane::py
