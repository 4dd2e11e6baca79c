// The table classes: TableSet with its loaders, lookups and expansion, the two definition
// records it hands out, and the module function expand_descriptors.
#include <array>
#include <memory>
#include <type_traits>

#include "error/quoted.h"
#include "error/text.h"
#include "lib/binding.h"
#include "lib/shared_strings.h"
#include "tables/definitions_root.h"
#include "tables/eccodes_loader.h"
#include "tables/expansion.h"
#include "tables/wmo_csv_loader.h"

namespace norvane::py {
namespace {

template <class T>
struct RecordObject {
    PyObject_HEAD
    T value;
};
using ElementObject = RecordObject<ElementDefinition>;
using SequenceObject = RecordObject<SequenceDefinition>;

struct TableSetObject {
    PyObject_HEAD
    TableSet* tables;        // owned; never changed once the object exists
    SharedStrings* strings;  // owned; Python strs of names and meanings handed to decoded values
};

template <class T>
const T& record_of(PyObject* self) {
    return reinterpret_cast<RecordObject<T>*>(self)->value;
}

template <class T>
PyObject* new_record(PyTypeObject* type, const T& value) {
    // The copy may throw; it is made before the object exists and moved in once it does.
    static_assert(std::is_nothrow_move_constructible_v<T>);
    T copy = value;
    auto* self = reinterpret_cast<RecordObject<T>*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    std::construct_at(&self->value, std::move(copy));
    return reinterpret_cast<PyObject*>(self);
}

template <class T>
void record_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<RecordObject<T>*>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- ElementDefinition

template <auto Member>
PyObject* element_int(PyObject* self, void*) {
    const auto value = record_of<ElementDefinition>(self).*Member;
    if constexpr (std::is_signed_v<decltype(value)>)
        return PyLong_FromLongLong(value);
    else
        return PyLong_FromUnsignedLongLong(value);
}
template <auto Member>
PyObject* element_str(PyObject* self, void*) {
    return to_str(record_of<ElementDefinition>(self).*Member);
}

#define NV_ELEMENT_FIELD(name, getter) \
    PyGetSetDef{#name, NV_ENTRY(getter<&ElementDefinition::name>), nullptr, nullptr, nullptr}

PyGetSetDef element_getset[] = {
    NV_ELEMENT_FIELD(code, element_int),
    NV_ELEMENT_FIELD(name, element_str),
    NV_ELEMENT_FIELD(unit, element_str),
    NV_ELEMENT_FIELD(scale, element_int),
    NV_ELEMENT_FIELD(reference, element_int),
    NV_ELEMENT_FIELD(width, element_int),
    NV_ELEMENT_FIELD(abbreviation, element_str),
    NV_ELEMENT_FIELD(element_type, element_str),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NV_ELEMENT_FIELD

PyObject* element_repr(PyObject* self) {
    const ElementDefinition& e = record_of<ElementDefinition>(self);
    return to_str(concat("ElementDefinition(", fxy6(e.code), ", name=", quoted(e.name), ")"));
}

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(record_dealloc<ElementDefinition>)},
    {Py_tp_repr, NV_ENTRY(element_repr)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "norvane._norvane.ElementDefinition",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    element_slots,
};

// ---- SequenceDefinition

PyObject* sequence_code(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(record_of<SequenceDefinition>(self).code);
}
PyObject* sequence_members(PyObject* self, void*) {
    return to_int_list(record_of<SequenceDefinition>(self).members);
}

PyGetSetDef sequence_getset[] = {
    {"code", NV_ENTRY(sequence_code), nullptr, nullptr, nullptr},
    {"members", NV_ENTRY(sequence_members), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* sequence_repr(PyObject* self) {
    const SequenceDefinition& s = record_of<SequenceDefinition>(self);
    std::string text = concat("SequenceDefinition(", fxy6(s.code), ", members=[");
    for (std::size_t i = 0; i < s.members.size(); ++i) {
        if (i > 0) text += ", ";
        text += concat(s.members[i]);
    }
    text += "])";
    return to_str(text);
}

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(record_dealloc<SequenceDefinition>)},
    {Py_tp_repr, NV_ENTRY(sequence_repr)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    "norvane._norvane.SequenceDefinition",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sequence_slots,
};

// ---- TableSet

const TableSet& tables_of(PyObject* self) { return *reinterpret_cast<TableSetObject*>(self)->tables; }

PyObject* wrap_tables(PyTypeObject* type, std::unique_ptr<TableSet> tables) {
    auto* self = reinterpret_cast<TableSetObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->tables = tables.release();
    self->strings = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* loaded(Result<TableSet>&& tables) {
    if (!tables) return raise_error(tables.error());
    return new_table_set(std::move(*tables));
}

PyObject* table_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!parse_tuple_args("TableSet", args, kwargs, {}, {})) return nullptr;
    return wrap_tables(type, std::make_unique<TableSet>());
}

void table_set_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<TableSetObject*>(self)->tables;
    delete reinterpret_cast<TableSetObject*>(self)->strings;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* table_set_repr(PyObject* self) {
    const TableSet& tables = tables_of(self);
    return to_str(concat("TableSet(elements=", tables.element_count(), ", sequences=", tables.sequence_count(), ")"));
}

PyObject* element_count(PyObject* self, void*) { return PyLong_FromSize_t(tables_of(self).element_count()); }
PyObject* sequence_count(PyObject* self, void*) { return PyLong_FromSize_t(tables_of(self).sequence_count()); }

constexpr std::array<const char*, 1> kPathArg{"path"};
constexpr std::array<const char*, 1> kCodeArg{"code"};

PyObject* from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    std::string path;
    if (!parse_args("from_eccodes", args, nargs, kwnames, kPathArg, values) || !as_path(values[0], "path", path))
        return nullptr;
    return loaded(from_eccodes_dir(path));
}

PyObject* from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"path", "message"};
    std::array<PyObject*, 2> values{};
    std::string path;
    if (!parse_args("from_definitions", args, nargs, kwnames, names, values) || !as_path(values[0], "path", path) ||
        !check_type(values[1], "message", state().bufr_message_type, "BufrMessage"))
        return nullptr;
    return loaded(from_eccodes_definitions(path, bufr_message_of(values[1])));
}

PyObject* from_bufr4_45_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    std::string path;
    if (!parse_args("from_bufr4_45", args, nargs, kwnames, kPathArg, values) || !as_path(values[0], "path", path))
        return nullptr;
    return loaded(from_bufr4_45(path));
}

PyObject* get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    std::uint32_t code = 0;
    if (!parse_args("get_element", args, nargs, kwnames, kCodeArg, values) || !as_u32(values[0], "code", code))
        return nullptr;
    const ElementDefinition* element = tables_of(self).element(code);
    if (element == nullptr) Py_RETURN_NONE;
    return new_record(state().element_definition_type, *element);
}

PyObject* get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    std::uint32_t code = 0;
    if (!parse_args("get_sequence", args, nargs, kwnames, kCodeArg, values) || !as_u32(values[0], "code", code))
        return nullptr;
    const SequenceDefinition* sequence = tables_of(self).sequence(code);
    if (sequence == nullptr) Py_RETURN_NONE;
    return new_record(state().sequence_definition_type, *sequence);
}

PyObject* get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"code", "raw"};
    std::array<PyObject*, 2> values{};
    std::uint32_t code = 0;
    std::uint64_t raw = 0;
    if (!parse_args("get_meaning", args, nargs, kwnames, names, values) || !as_u32(values[0], "code", code) ||
        !as_u64(values[1], "raw", raw))
        return nullptr;
    const std::string* meaning = tables_of(self).code_meaning(code, raw);
    if (meaning == nullptr) Py_RETURN_NONE;
    return to_str(*meaning);
}

constexpr std::array<const char*, 1> kDescriptorsArg{"descriptors"};

PyObject* expanded(const TableSet& tables, const std::vector<std::uint32_t>& descriptors) {
    Result<std::vector<std::uint32_t>> codes = norvane::expand_descriptors(tables, descriptors);
    if (!codes) return raise_error(codes.error());
    return to_int_list(*codes);
}

PyObject* expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    std::vector<std::uint32_t> descriptors;
    if (!parse_args("expand", args, nargs, kwnames, kDescriptorsArg, values) ||
        !as_code_list(values[0], "descriptors", descriptors))
        return nullptr;
    return expanded(tables_of(self), descriptors);
}

#define NV_METHOD(name, function, flags, doc) PyMethodDef{name, NV_ENTRY(function), flags, doc}
constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef table_set_methods[] = {
    NV_METHOD("from_eccodes", from_eccodes, kStatic, "from_eccodes(path)\n--\n\n"),
    NV_METHOD("from_definitions", from_definitions, kStatic, "from_definitions(path, message)\n--\n\n"),
    NV_METHOD("from_bufr4_45", from_bufr4_45_method, kStatic, "from_bufr4_45(path)\n--\n\n"),
    NV_METHOD("get_element", get_element, kMethod, "get_element($self, code)\n--\n\n"),
    NV_METHOD("get_sequence", get_sequence, kMethod, "get_sequence($self, code)\n--\n\n"),
    NV_METHOD("get_meaning", get_meaning, kMethod, "get_meaning($self, code, raw)\n--\n\n"),
    NV_METHOD("expand", expand, kMethod, "expand($self, descriptors)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef NV_METHOD

PyGetSetDef table_set_getset[] = {
    {"element_count", NV_ENTRY(element_count), nullptr, nullptr, nullptr},
    {"sequence_count", NV_ENTRY(sequence_count), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_set_slots[] = {
    {Py_tp_new, NV_ENTRY(table_set_new)},
    {Py_tp_dealloc, NV_ENTRY(table_set_dealloc)},
    {Py_tp_repr, NV_ENTRY(table_set_repr)},
    {Py_tp_methods, table_set_methods},
    {Py_tp_getset, table_set_getset},
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec table_set_spec = {
    "norvane._norvane.TableSet",
    sizeof(TableSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_set_slots,
};

}  // namespace

PyTypeObject* create_element_definition_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&element_spec));
}

PyTypeObject* create_sequence_definition_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sequence_spec));
}

PyTypeObject* create_table_set_type() { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&table_set_spec)); }

PyObject* new_table_set(TableSet&& tables) {
    return wrap_tables(state().table_set_type, std::make_unique<TableSet>(std::move(tables)));
}

const TableSet& table_set_of(PyObject* obj) { return tables_of(obj); }

SharedStrings& shared_strings_of(PyObject* obj) {
    auto* self = reinterpret_cast<TableSetObject*>(obj);
    if (self->strings == nullptr) self->strings = new SharedStrings();
    return *self->strings;
}

PyObject* expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"table_dir", "descriptors"};
    std::array<PyObject*, 2> values{};
    std::string table_dir;
    std::vector<std::uint32_t> descriptors;
    // Both arguments are converted before any table file is opened.
    if (!parse_args("expand_descriptors", args, nargs, kwnames, names, values) ||
        !as_path(values[0], "table_dir", table_dir) || !as_code_list(values[1], "descriptors", descriptors))
        return nullptr;
    Result<TableSet> tables = from_eccodes_dir(table_dir);
    if (!tables) return raise_error(tables.error());
    return expanded(*tables, descriptors);
}

}  // namespace norvane::py
