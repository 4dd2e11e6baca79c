#include "columns/arrow_export.h"

#include <cerrno>
#include <new>
#include <string>
#include <vector>

namespace norvane {
namespace {

// ---- Schemas: each node owns its strings and its children.

struct SchemaNode {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> children;
    ArrowSchema* dictionary = nullptr;
};

void release_schema(ArrowSchema* schema) {
    auto* node = static_cast<SchemaNode*>(schema->private_data);
    for (ArrowSchema* child : node->children) {
        if (child->release != nullptr) child->release(child);  // unless the consumer moved it out
        delete child;
    }
    if (node->dictionary != nullptr) {
        if (node->dictionary->release != nullptr) node->dictionary->release(node->dictionary);
        delete node->dictionary;
    }
    delete node;
    schema->release = nullptr;
}

// A schema node; its children are added by the caller before it is handed out.
ArrowSchema* new_schema(std::string format, std::string name, std::int64_t flags) {
    auto node = std::make_unique<SchemaNode>();
    node->format = std::move(format);
    node->name = std::move(name);
    auto* schema = new ArrowSchema{node->format.c_str(), node->name.c_str(), nullptr, flags, 0, nullptr, nullptr,
                                   release_schema, node.get()};
    node.release();
    return schema;
}

SchemaNode& node_of(ArrowSchema* schema) { return *static_cast<SchemaNode*>(schema->private_data); }

// Owns a schema under construction: released unless handed out.
struct SchemaGuard {
    ArrowSchema* schema;
    ~SchemaGuard() {
        if (schema == nullptr) return;
        schema->release(schema);
        delete schema;
    }
};

struct Field {
    const char* name;
    const char* format;  // of the values, or of the indices of a dictionary column
    bool dictionary;
};

constexpr Field kFields[] = {
    {"message", "i", false}, {"subset", "i", false}, {"descriptor", "i", false},
    {"key", "i", true},      {"value", "g", false},  {"raw", "L", false},
    {"text", "i", true},     {"meaning", "i", true}, {"unit", "i", true},
};

// ---- Arrays: each node keeps the table alive and owns its buffer list and children.

struct ArrayNode {
    std::shared_ptr<const LongTable> table;
    std::vector<const void*> buffers;
    std::vector<ArrowArray*> children;
    ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) {
    auto* node = static_cast<ArrayNode*>(array->private_data);
    for (ArrowArray* child : node->children) {
        if (child->release != nullptr) child->release(child);
        delete child;
    }
    if (node->dictionary != nullptr) {
        if (node->dictionary->release != nullptr) node->dictionary->release(node->dictionary);
        delete node->dictionary;
    }
    delete node;
    array->release = nullptr;
}

struct ArrayGuard {
    ArrowArray* array;
    ~ArrayGuard() {
        if (array == nullptr) return;
        array->release(array);
        delete array;
    }
};

ArrowArray* new_array(const std::shared_ptr<const LongTable>& table, std::size_t length, std::size_t nulls,
                      std::vector<const void*> buffers) {
    auto node = std::make_unique<ArrayNode>();
    node->table = table;
    node->buffers = std::move(buffers);
    auto* array = new ArrowArray{static_cast<std::int64_t>(length),
                                 static_cast<std::int64_t>(nulls),
                                 0,
                                 static_cast<std::int64_t>(node->buffers.size()),
                                 0,
                                 node->buffers.data(),
                                 nullptr,
                                 nullptr,
                                 release_array,
                                 node.get()};
    node.release();
    return array;
}

ArrayNode& node_of(ArrowArray* array) { return *static_cast<ArrayNode*>(array->private_data); }

// A fixed-width column: no validity buffer when nothing is null.
ArrowArray* column_array(const std::shared_ptr<const LongTable>& table, std::size_t rows, const void* values,
                         const Validity* validity = nullptr) {
    const std::size_t nulls = validity != nullptr ? validity->nulls : 0;
    return new_array(table, rows, nulls, {nulls != 0 ? validity->data() : nullptr, values});  // no bitmap: no nulls
}

ArrowArray* dictionary_array(const std::shared_ptr<const LongTable>& table, std::size_t rows,
                             const PodColumn<std::int32_t>& indices, const StringDictionary& dictionary,
                             const Validity* validity) {
    ArrayGuard column{column_array(table, rows, indices.data(), validity)};
    node_of(column.array).dictionary =
        new_array(table, dictionary.size(), 0, {nullptr, dictionary.offsets().data(), dictionary.characters().data()});
    column.array->dictionary = node_of(column.array).dictionary;
    ArrowArray* made = column.array;
    column.array = nullptr;
    return made;
}

// ---- The stream.

struct StreamState {
    std::shared_ptr<const LongTable> table;
    std::size_t next = 0;
    std::string error;
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_long_schema(out);
        return 0;
    } catch (const std::bad_alloc&) {
        state_of(stream).error = "out of memory";
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamState& state = state_of(stream);
    if (state.next == state.table->batches().size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_row_batch(state.table, state.next, out);
        ++state.next;
        return 0;
    } catch (const std::bad_alloc&) {
        state.error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_error(ArrowArrayStream* stream) {
    const std::string& error = state_of(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_long_schema(ArrowSchema* out) {
    SchemaGuard root{new_schema("+s", "", 0)};
    SchemaNode& node = node_of(root.schema);
    node.children.reserve(std::size(kFields));
    for (const Field& field : kFields) {
        const bool nullable = field.dictionary || field.format[0] == 'g' || field.format[0] == 'L';
        SchemaGuard child{new_schema(field.format, field.name, nullable ? ARROW_FLAG_NULLABLE : 0)};
        if (field.dictionary) node_of(child.schema).dictionary = child.schema->dictionary = new_schema("u", "", 0);
        node.children.push_back(child.schema);
        child.schema = nullptr;
    }
    root.schema->n_children = static_cast<std::int64_t>(node.children.size());
    root.schema->children = node.children.data();
    *out = *root.schema;  // the node moves with the struct; the shell is freed
    delete root.schema;
    root.schema = nullptr;
}

void export_row_batch(const std::shared_ptr<const LongTable>& table, std::size_t index, ArrowArray* out) {
    const RowBatch& batch = table->batches()[index];
    const StringColumns& strings = table->strings();
    const std::size_t rows = batch.rows();
    ArrayGuard root{new_array(table, rows, 0, {nullptr})};
    ArrayNode& node = node_of(root.array);
    node.children.reserve(std::size(kFields));
    const auto add = [&](ArrowArray* child) { node.children.push_back(child); };
    ArrayGuard pending{nullptr};
    const auto adopt = [&](ArrowArray* child) {
        pending.array = child;
        add(child);
        pending.array = nullptr;
    };
    adopt(column_array(table, rows, batch.message.data()));
    adopt(column_array(table, rows, batch.subset.data()));
    adopt(column_array(table, rows, batch.descriptor.data()));
    adopt(dictionary_array(table, rows, batch.key, strings.keys, nullptr));
    adopt(column_array(table, rows, batch.value.data(), &batch.value_valid));
    adopt(column_array(table, rows, batch.raw.data(), &batch.raw_valid));
    adopt(dictionary_array(table, rows, batch.text, strings.texts, &batch.text_valid));
    adopt(dictionary_array(table, rows, batch.meaning, strings.meanings, &batch.meaning_valid));
    adopt(dictionary_array(table, rows, batch.unit, strings.units, &batch.unit_valid));
    root.array->n_children = static_cast<std::int64_t>(node.children.size());
    root.array->children = node.children.data();
    *out = *root.array;
    delete root.array;
    root.array = nullptr;
}

void export_long_stream(std::shared_ptr<const LongTable> table, ArrowArrayStream* out) {
    auto state = std::make_unique<StreamState>();
    state->table = std::move(table);
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, state.release()};
}

}  // namespace norvane
