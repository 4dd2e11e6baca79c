// The compiled half of norvane.read_table(): RowBuilder decodes the messages of a read into
// row batches, on several threads with the interpreter lock released; LongTable holds the
// result and exports it through the Arrow C stream interface; Float64Matrix lends one
// message's values to numpy as a (subsets x positions) array, without a copy.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "columns/arrow_export.h"
#include "columns/long_table.h"
#include "columns/value_matrix.h"
#include "data/decoder.h"
#include "lib/borrowed_buffer.h"
#include "lib/py_reader.h"

namespace norvane::py {
namespace {

// A run of messages decoded into one batch: about this many octets of section 4 each, so
// the threads share the work evenly and a run's decoded messages are still in cache when
// its rows are written (256 KB runs were 3 % slower on one thread, and shared unevenly).
constexpr std::uint64_t kBatchOctets = 64 * 1024;
constexpr long kMaxThreads = 256;

// Header fields of a decoded message, kept for LongTable.headers().
struct DecodedHeader {
    std::uint64_t index;
    std::uint64_t offset;
    BufrMessage message;  // without its descriptor list
};

// ---- RowBuilder

struct RowBuilderObject {
    PyObject_HEAD
    std::vector<RowBatch>* batches;
    std::vector<DecodedHeader>* headers;
    KeySelection* selection;  // the keys whose rows are kept (with the coordinates), or all rows
    PyObject* keys;  // list: the packed table key of each header, in order
    bool busy;       // a call is decoding with the lock released
};

// One message ready for decoding without the interpreter.
struct Job {
    const BufrMessage* message;
    Octets section4;
    const TableSet* tables;
    std::int32_t index;
};

struct Failure {
    std::size_t job;
    std::string text;
};

// The rows of a run of jobs, and the failures among them, in job order.
struct BatchResult {
    RowBatch batch;
    std::vector<std::size_t> decoded;  // jobs whose rows are in the batch
    std::vector<Failure> failures;
};

// Decodes the run's messages first, then writes their rows into a batch reserved to the
// exact size: a run's decoded messages are small (its octets bound them), and the batch is
// then neither copied as it grows nor larger than its rows.
Status decode_run(std::span<const Job> jobs, std::size_t first, const KeySelection* selection, BatchResult& result) {
    std::vector<DecodedMessage> decoded;
    decoded.reserve(jobs.size());
    std::size_t rows = 0;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        const Job& job = jobs[j];
        Result<DecodedMessage> message = decode_message(*job.message, *job.tables, job.section4);
        if (!message) {
            result.failures.push_back({first + j, message.error().message()});
            continue;
        }
        rows += message->size();
        decoded.push_back(std::move(*message));
        result.decoded.push_back(first + j);
    }
    RowBatchBuilder builder(result.batch, selection);
    builder.expect(rows);  // with a selection, room that is never written is never touched either
    for (std::size_t d = 0; d < decoded.size(); ++d) {
        NV_TRY(builder.append(decoded[d], jobs[result.decoded[d] - first].index));
    }
    if (selection != nullptr) shrink_to_fit(result.batch);  // it reserved room for every row
    seal(result.batch);  // here, on the run's thread, rather than when the batches merge
    return {};
}

// Splits the jobs into runs of about kBatchOctets and decodes them on `threads` threads;
// the runs do not depend on the number of threads, so neither does the table.
std::vector<BatchResult> decode_jobs(const std::vector<Job>& jobs, unsigned threads, const KeySelection* selection,
                                     std::string& fatal) {
    std::vector<std::size_t> starts;
    std::uint64_t octets = kBatchOctets;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        if (octets >= kBatchOctets) {
            starts.push_back(j);
            octets = 0;
        }
        octets += jobs[j].section4.size() + 64;
    }
    starts.push_back(jobs.size());
    const std::size_t runs = starts.size() - 1;
    std::vector<BatchResult> results(runs);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr thrown;
    std::mutex thrown_lock;
    const auto work = [&] {
        try {
            for (std::size_t run = next++; run < runs && !failed; run = next++) {
                const std::size_t begin = starts[run];
                Status status = decode_run(std::span(jobs).subspan(begin, starts[run + 1] - begin), begin, selection,
                                           results[run]);
                if (!status) {
                    const std::lock_guard lock(thrown_lock);
                    fatal = status.error().message();
                    failed = true;
                }
            }
        } catch (...) {
            const std::lock_guard lock(thrown_lock);
            if (!thrown) thrown = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::jthread> helpers;
    const unsigned extra = static_cast<unsigned>(std::min<std::size_t>(threads, runs)) - (runs != 0);
    try {
        for (unsigned t = 0; t < extra; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked when the system has none to give: the work gets done anyway.
    }
    work();
    helpers.clear();  // joins
    if (thrown) std::rethrow_exception(thrown);
    return results;
}

RowBuilderObject* as_builder(PyObject* self) { return reinterpret_cast<RowBuilderObject*>(self); }

// The strs of `keys`, a sequence (not a str itself); false with the error set.
bool key_list(PyObject* keys, std::vector<std::string>& out) {
    if (PyUnicode_Check(keys)) {
        PyErr_SetString(PyExc_TypeError, "keys must be a sequence of str or None, not a str");
        return false;
    }
    Ref items = Ref::steal(PySequence_Tuple(keys));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(items.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "keys must hold str, not '%s'", Py_TYPE(key)->tp_name);
            return false;
        }
        out.emplace_back(text, static_cast<std::size_t>(size));
    }
    return true;
}

// RowBuilder(keys): keys None keeps every row; a sequence of keys keeps only their rows and
// the coordinates' (elements of classes 01 to 09).
PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> kNames{"keys"};
    std::array<PyObject*, 1> values{};
    if (!parse_tuple_args("RowBuilder", args, kwargs, kNames, values)) return nullptr;
    std::vector<std::string> keys;
    if (values[0] != Py_None && !key_list(values[0], keys)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    RowBuilderObject* b = as_builder(self.get());
    b->keys = PyList_New(0);
    if (b->keys == nullptr) return nullptr;
    b->batches = new std::vector<RowBatch>();
    b->headers = new std::vector<DecodedHeader>();
    if (values[0] != Py_None) b->selection = new KeySelection(keys);
    return self.release();
}

void builder_dealloc(PyObject* self) noexcept {
    RowBuilderObject* b = as_builder(self);
    PyTypeObject* type = Py_TYPE(self);
    delete b->batches;
    delete b->headers;
    delete b->selection;
    Py_XDECREF(b->keys);
    type->tp_free(self);
    Py_DECREF(type);
}

// Holds the octets of the messages' buffers for one call; consecutive messages of a mapped
// source share one buffer object, borrowed once.
class BufferSet {
public:
    // The octets of `obj`, or an empty optional with the error set.
    std::optional<Octets> octets(PyObject* obj) {
        if (obj != last_object_) {
            auto& held = held_.emplace_back(std::make_unique<BorrowedBuffer>());
            if (!held->borrow(obj, "buffer")) return std::nullopt;
            last_object_ = obj;
            last_ = held->octets();
        }
        return last_;
    }

private:
    std::vector<std::unique_ptr<BorrowedBuffer>> held_;
    PyObject* last_object_ = nullptr;
    Octets last_;
};

// add(messages, threads) -> list[tuple[int, ReadError]]: decodes `messages` (of
// norvane.read()) into rows, on `threads` threads with the interpreter lock released. Returns
// the messages that failed: their position in `messages` and the error each would raise
// from decode(); their rows are left out.
PyObject* builder_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> kNames{"messages", "threads"};
    std::array<PyObject*, 2> values{};
    if (!parse_args("add", args, nargs, kwnames, kNames, values)) return nullptr;
    RowBuilderObject* b = as_builder(self);
    if (b->busy) {
        PyErr_SetString(PyExc_RuntimeError, "RowBuilder.add() is already running in another thread");
        return nullptr;
    }
    const long threads = PyLong_AsLong(values[1]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    if (threads < 1 || threads > kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and %ld, not %ld", kMaxThreads, threads);
        return nullptr;
    }
    // A tuple of its own: the messages (whose parsed headers the threads read) stay alive and
    // in place while the lock is released, whatever other threads do to the caller's list.
    Ref messages = Ref::steal(PySequence_Tuple(values[0]));
    if (!messages) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(messages.get());
    PyObject** items = PySequence_Fast_ITEMS(messages.get());

    Ref failures = Ref::steal(PyList_New(0));
    if (!failures) return nullptr;
    std::vector<Ref> table_sets;
    std::vector<Job> jobs;
    std::vector<Py_ssize_t> positions;  // of each job in `messages`
    std::vector<MessageParts> job_parts;  // of each job's message
    table_sets.reserve(static_cast<std::size_t>(count));
    jobs.reserve(static_cast<std::size_t>(count));
    BufferSet buffers;
    const auto add_failure = [&](Py_ssize_t position, PyObject* error) {
        if (error == nullptr) return false;
        Ref owned = Ref::steal(error);
        Ref entry = Ref::steal(Py_BuildValue("(nO)", position, owned.get()));
        return entry && PyList_Append(failures.get(), entry.get()) == 0;
    };
    for (Py_ssize_t i = 0; i < count; ++i) {
        MessageParts parts{};
        if (!message_parts(items[i], parts)) return nullptr;
        if (parts.index > static_cast<std::uint64_t>(INT32_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "a long table holds at most 2^31 messages");
            return nullptr;
        }
        Ref tables = Ref::steal(message_table_set(items[i]));
        if (!tables) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
            if (!add_failure(i, take_raised_exception())) return nullptr;
            continue;
        }
        const std::optional<Octets> octets = buffers.octets(parts.buffer);
        if (!octets) return nullptr;
        const std::optional<Octets> section4 = section4_in(parts, *octets);
        if (!section4) {
            if (!add_failure(i, message_error(items[i], kSourceChanged))) return nullptr;
            continue;
        }
        jobs.push_back({parts.message, *section4, &table_set_of(tables.get()), static_cast<std::int32_t>(parts.index)});
        positions.push_back(i);
        job_parts.push_back(parts);
        table_sets.push_back(std::move(tables));
    }

    std::vector<BatchResult> results;
    std::string fatal;
    std::exception_ptr thrown;
    b->busy = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        results = decode_jobs(jobs, static_cast<unsigned>(threads), b->selection, fatal);
    } catch (...) {
        thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    b->busy = false;
    if (thrown) std::rethrow_exception(thrown);
    if (!fatal.empty()) return raise_error(parse_error(fatal));

    // Failures go back in message order; the runs are in order and so is each run's list.
    std::vector<Failure> failed;
    for (BatchResult& result : results) {
        for (Failure& failure : result.failures) failed.push_back(std::move(failure));
    }
    std::sort(failed.begin(), failed.end(), [](const Failure& a, const Failure& b) { return a.job < b.job; });
    for (const Failure& failure : failed) {
        const Py_ssize_t position = positions[failure.job];
        if (!add_failure(position, message_error(items[position], failure.text))) return nullptr;
    }
    if (PyList_Sort(failures.get()) != 0) return nullptr;
    for (BatchResult& result : results) {
        for (std::size_t job : result.decoded) {
            const MessageParts& parts = job_parts[job];
            if (PyList_Append(b->keys, parts.key) != 0) return nullptr;
            BufrMessage header = *parts.message;
            header.unexpanded_descriptors = {};
            b->headers->push_back({parts.index, parts.offset, std::move(header)});
        }
        b->batches->push_back(std::move(result.batch));
    }
    return failures.release();
}

PyObject* new_long_table(std::shared_ptr<const LongTable> table, std::vector<DecodedHeader> headers, PyObject* keys);

// finish() -> LongTable: the rows added so far, as one table; the builder starts empty again.
PyObject* builder_finish(PyObject* self, PyObject*) {
    RowBuilderObject* b = as_builder(self);
    if (b->busy) {
        PyErr_SetString(PyExc_RuntimeError, "RowBuilder.add() is running in another thread");
        return nullptr;
    }
    Result<LongTable> merged = LongTable::merge(std::move(*b->batches));
    b->batches->clear();
    if (!merged) return raise_error(merged.error());
    auto table = std::make_shared<const LongTable>(std::move(*merged));
    Ref keys = Ref::steal(b->keys);
    b->keys = PyList_New(0);
    if (b->keys == nullptr) return nullptr;
    std::vector<DecodedHeader> headers = std::move(*b->headers);
    b->headers->clear();
    return new_long_table(std::move(table), std::move(headers), keys.get());
}

PyMethodDef builder_methods[] = {
    {"add", NV_ENTRY(builder_add),
     METH_FASTCALL | METH_KEYWORDS, "add($self, messages, threads)\n--\n\n"},
    {"finish", NV_ENTRY(builder_finish), METH_NOARGS, "finish($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_new, NV_ENTRY(builder_new)},
    {Py_tp_dealloc, NV_ENTRY(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {Py_tp_doc, const_cast<char*>("RowBuilder(keys)\n--\n\nDecodes messages of norvane.read() into a long table: every row, or "
                                   "with keys only theirs and the coordinates'.")},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "norvane._reader.RowBuilder", sizeof(RowBuilderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    builder_slots,
};

// ---- LongTable

struct LongTableObject {
    PyObject_HEAD
    std::shared_ptr<const LongTable>* table;
    std::vector<DecodedHeader>* headers;
    PyObject* keys;
};

PyTypeObject* long_table_type = nullptr;
PyTypeObject* matrix_type = nullptr;

LongTableObject* as_table(PyObject* self) { return reinterpret_cast<LongTableObject*>(self); }

PyObject* new_long_table(std::shared_ptr<const LongTable> table, std::vector<DecodedHeader> headers, PyObject* keys) {
    Ref self = Ref::steal(long_table_type->tp_alloc(long_table_type, 0));
    if (!self) return nullptr;
    LongTableObject* t = as_table(self.get());
    t->keys = Py_NewRef(keys);
    t->table = new std::shared_ptr<const LongTable>(std::move(table));
    t->headers = new std::vector<DecodedHeader>(std::move(headers));
    return self.release();
}

void table_dealloc(PyObject* self) noexcept {
    LongTableObject* t = as_table(self);
    PyTypeObject* type = Py_TYPE(self);
    delete t->table;
    delete t->headers;
    Py_XDECREF(t->keys);
    type->tp_free(self);
    Py_DECREF(type);
}

void release_schema_capsule(PyObject* capsule) noexcept {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void release_stream_capsule(PyObject* capsule) noexcept {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// __arrow_c_schema__() -> PyCapsule "arrow_schema".
PyObject* table_schema(PyObject*, PyObject*) {
    auto schema = std::make_unique<ArrowSchema>();
    schema->release = nullptr;
    export_long_schema(schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", NV_ENTRY(release_schema_capsule));
    if (capsule == nullptr) {
        schema->release(schema.get());
        return nullptr;
    }
    schema.release();
    return capsule;
}

// __arrow_c_stream__(requested_schema=None) -> PyCapsule "arrow_array_stream". The table
// has one schema; a requested one is for the consumer to cast to, as the protocol allows.
PyObject* table_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t given = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given > 1) {
        PyErr_Format(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument (%zd given)", given);
        return nullptr;
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    export_long_stream(*as_table(self)->table, stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", NV_ENTRY(release_stream_capsule));
    if (capsule == nullptr) {
        stream->release(stream.get());
        return nullptr;
    }
    stream.release();
    return capsule;
}

// headers() -> list of (index, offset, key, *the header tuple of norvane.reader.Message
// without its descriptors), one per decoded message, in table order.
PyObject* table_headers(PyObject* self, PyObject*) {
    LongTableObject* t = as_table(self);
    const std::vector<DecodedHeader>& headers = *t->headers;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(headers.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        Ref fields = Ref::steal(header_tuple(headers[i].message));
        if (!fields) return nullptr;
        Ref front = Ref::steal(Py_BuildValue("(KKO)", static_cast<unsigned long long>(headers[i].index),
                                             static_cast<unsigned long long>(headers[i].offset),
                                             PyList_GET_ITEM(t->keys, static_cast<Py_ssize_t>(i))));
        if (!front) return nullptr;
        PyObject* row = PySequence_Concat(front.get(), fields.get());
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
}

PyObject* table_rows(PyObject* self, void*) {
    return PyLong_FromSize_t((*as_table(self)->table)->rows());
}

PyObject* table_batches(PyObject* self, void*) {
    return PyLong_FromSize_t((*as_table(self)->table)->batches().size());
}

// The octets the table holds: its columns and dictionaries (capacities, as allocated).
PyObject* table_nbytes(PyObject* self, void*) {
    const LongTable& table = **as_table(self)->table;
    std::size_t total = 0;
    const auto add = [&](const auto& vector) { total += vector.capacity() * sizeof(vector[0]); };
    for (const RowBatch& batch : table.batches()) {
        for (const auto* column : {&batch.message, &batch.subset, &batch.descriptor, &batch.key, &batch.unit,
                                   &batch.text, &batch.meaning})
            total += column->capacity() * sizeof(std::int32_t);
        total += batch.value.capacity() * sizeof(double) + batch.raw.capacity() * sizeof(std::uint64_t);
        for (const Validity* v : {&batch.value_valid, &batch.raw_valid, &batch.unit_valid, &batch.text_valid,
                                  &batch.meaning_valid})
            add(v->bits);
    }
    for (const StringDictionary* d : {&table.strings().keys, &table.strings().units, &table.strings().texts,
                                      &table.strings().meanings}) {
        add(d->offsets());
        total += d->characters().capacity();
    }
    return PyLong_FromSize_t(total);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", NV_ENTRY(table_schema), METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {"__arrow_c_stream__", NV_ENTRY(table_stream),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {"headers", NV_ENTRY(table_headers), METH_NOARGS, "headers($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"num_rows", NV_ENTRY(table_rows), nullptr, "The number of rows.", nullptr},
    {"num_batches", NV_ENTRY(table_batches), nullptr, "The number of record batches.", nullptr},
    {"nbytes", NV_ENTRY(table_nbytes), nullptr, "The octets held by the columns and dictionaries.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "norvane._reader.LongTable", sizeof(LongTableObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, table_slots,
};

// ---- Float64Matrix: a read-only buffer of shape (subsets, positions) over a ValueMatrix.

struct MatrixObject {
    PyObject_HEAD
    std::shared_ptr<const ValueMatrix>* matrix;
    const double* values;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

MatrixObject* as_matrix(PyObject* self) { return reinterpret_cast<MatrixObject*>(self); }

PyObject* new_matrix(std::shared_ptr<const ValueMatrix> matrix) {
    Ref self = Ref::steal(matrix_type->tp_alloc(matrix_type, 0));
    if (!self) return nullptr;
    MatrixObject* m = as_matrix(self.get());
    static const double kEmpty = 0.0;
    m->values = matrix->values.size() != 0 ? matrix->values.data() : &kEmpty;
    m->shape[0] = static_cast<Py_ssize_t>(matrix->subsets);
    m->shape[1] = static_cast<Py_ssize_t>(matrix->positions);
    m->strides[0] = m->shape[1] * static_cast<Py_ssize_t>(sizeof(double));
    m->strides[1] = sizeof(double);
    m->matrix = new std::shared_ptr<const ValueMatrix>(std::move(matrix));
    return self.release();
}

void matrix_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete as_matrix(self)->matrix;
    type->tp_free(self);
    Py_DECREF(type);
}

int matrix_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the matrix is read-only");
        view->obj = nullptr;
        return -1;
    }
    MatrixObject* m = as_matrix(self);
    view->buf = const_cast<double*>(m->values);
    view->obj = Py_NewRef(self);
    view->len = m->shape[0] * m->shape[1] * static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 1;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    view->ndim = 2;
    view->shape = m->shape;
    view->strides = m->strides;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot matrix_slots[] = {
    {Py_tp_dealloc, NV_ENTRY(matrix_dealloc)},
    {Py_bf_getbuffer, NV_ENTRY(matrix_getbuffer)},
    {0, nullptr},
};

PyType_Spec matrix_spec = {
    "norvane._reader.Float64Matrix", sizeof(MatrixObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, matrix_slots,
};

// The matrix of the message object `message`, decoded with the lock released.
PyObject* matrix_of(PyObject* message) {
    MessageParts parts{};
    if (!message_parts(message, parts)) return nullptr;
    Ref tables = Ref::steal(message_table_set(message));
    if (!tables) return nullptr;
    BorrowedBuffer buffer;
    if (!buffer.borrow(parts.buffer, "buffer")) return nullptr;
    const std::optional<Octets> found = section4_in(parts, buffer.octets());
    if (!found) {
        PyErr_SetString(PyExc_ValueError, kSourceChanged);
        return nullptr;
    }
    const Octets section4 = *found;
    const BufrMessage& header = *parts.message;
    const TableSet& table_set = table_set_of(tables.get());
    std::optional<Result<DecodedMessage>> decoded;
    std::optional<Result<ValueMatrix>> matrix;
    std::exception_ptr thrown;
    Py_BEGIN_ALLOW_THREADS
    try {
        decoded.emplace(decode_message(header, table_set, section4));
        if (*decoded) matrix.emplace(value_matrix(**decoded));
    } catch (...) {
        thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (thrown) std::rethrow_exception(thrown);
    if (!*decoded) {
        Ref error = Ref::steal(message_error(message, decoded->error().message()));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return nullptr;
    }
    if (!*matrix) return raise_error(matrix->error());
    auto shared = std::make_shared<const ValueMatrix>(std::move(**matrix));
    Ref descriptors = Ref::steal(PyList_New(static_cast<Py_ssize_t>(shared->positions)));
    Ref keys = Ref::steal(PyList_New(static_cast<Py_ssize_t>(shared->positions)));
    if (!descriptors || !keys) return nullptr;
    for (std::size_t p = 0; p < shared->positions; ++p) {
        PyObject* code = PyLong_FromUnsignedLong(shared->descriptors[p]);
        if (code == nullptr) return nullptr;
        PyList_SET_ITEM(descriptors.get(), static_cast<Py_ssize_t>(p), code);
        PyObject* key = to_str(shared->keys[p]);
        if (key == nullptr) return nullptr;
        PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(p), key);
    }
    Ref values = Ref::steal(new_matrix(std::move(shared)));
    if (!values) return nullptr;
    return Py_BuildValue("(OOO)", values.get(), descriptors.get(), keys.get());
}

}  // namespace

PyObject* message_matrix(PyObject*, PyObject* message) { return matrix_of(message); }

bool add_table_types(PyObject* module) {
    const auto add = [&](PyType_Spec& spec, PyTypeObject** keep) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) return false;
        const char* dot = std::strrchr(spec.name, '.');
        const bool added = PyModule_AddObjectRef(module, dot + 1, type) == 0;
        if (keep != nullptr && added) {
            *keep = reinterpret_cast<PyTypeObject*>(type);  // the module keeps it alive
        }
        Py_DECREF(type);
        return added;
    };
    return add(builder_spec, nullptr) && add(table_spec, &long_table_type) && add(matrix_spec, &matrix_type);
}

}  // namespace norvane::py
