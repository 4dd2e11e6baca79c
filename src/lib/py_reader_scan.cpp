// Scanner: the iterator of one read. Each step finds the next marker (message/message_scan.h);
// a sound message becomes a message object, everything else goes to the `note` callback,
// which records it or raises. A stream is read through the `fill` callback into a bytearray
// window, and each of its messages gets its own bytes.
#include <algorithm>
#include <array>

#include "lib/borrowed_buffer.h"
#include "lib/entry_point.h"
#include "lib/py_reader.h"
#include "message/message_scan.h"

namespace norvane::py {
namespace {

// What the scanner tells `note(kind, index, offset, length, payload)`:
enum NoteKind : long {
    kEnd = 0,      // no marker left: index is the number of markers, offset the octets seen
    kBad = 2,      // a bad message: length its declared length, payload its error text
    kCut = 3,      // cut short: length its declared length (0: unknown), payload the octets left
    kIgnored = 4,  // octets outside any message at offset, length of them
};

struct ScannerObject {
    PyObject_HEAD
    PyObject* buffer;              // buffer-protocol object; a bytearray window for a stream
    PyTypeObject* message_class;   // MessageBase or a subclass
    PyObject* by_key;              // dict handed to every message
    PyObject* note;                // callable
    PyObject* fill;                // callable(keep_from, declared) -> (dropped, more); None when whole
    unsigned long long pos;        // where the next step starts in `buffer`
    unsigned long long base;       // source offset of buffer[0]
    unsigned long long index;      // markers seen
    unsigned long long accounted;  // source offset up to which every octet is a message's or noted
    // End of the extent of the last bad or cut message noted, until a sound message follows:
    // a broken marker before it lies inside that message and is not noted again, so junk full
    // of markers makes one report, not one per marker.
    unsigned long long quiet_until;
    bool copies;                   // messages get their own bytes (a stream's window changes)
    bool done;
};

ScannerObject* as_scanner(PyObject* self) { return reinterpret_cast<ScannerObject*>(self); }

int scanner_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ScannerObject* s = as_scanner(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->buffer);
    Py_VISIT(s->message_class);
    Py_VISIT(s->by_key);
    Py_VISIT(s->note);
    Py_VISIT(s->fill);
    return 0;
}

int scanner_clear(PyObject* self) noexcept {
    ScannerObject* s = as_scanner(self);
    Py_CLEAR(s->buffer);
    Py_CLEAR(s->message_class);
    Py_CLEAR(s->by_key);
    Py_CLEAR(s->note);
    Py_CLEAR(s->fill);
    return 0;
}

void scanner_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    scanner_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr std::array<const char*, 5> kScannerArgs{"buffer", "message_class", "by_key", "note", "fill"};

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 5> values{};
    if (!parse_tuple_args("Scanner", args, kwargs, kScannerArgs, values)) return nullptr;
    if (!PyType_Check(values[1]) || message_base_type() == nullptr ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(values[1]), message_base_type()) ||
        !PyDict_Check(values[2]))
        return PyErr_Format(PyExc_TypeError, "Scanner() takes a MessageBase class and a dict");
    auto* self = reinterpret_cast<ScannerObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->buffer = Py_NewRef(values[0]);
    self->message_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(values[1]));
    self->by_key = Py_NewRef(values[2]);
    self->note = Py_NewRef(values[3]);
    self->fill = values[4] == Py_None ? nullptr : Py_NewRef(values[4]);
    self->copies = self->fill != nullptr;
    return reinterpret_cast<PyObject*>(self);
}

// Calls note(kind, index, offset, length, payload), stealing `payload`; false when it raised.
bool note(ScannerObject* s, NoteKind kind, unsigned long long offset, unsigned long long length, PyObject* payload) {
    if (payload == nullptr) return false;
    PyObject* result = PyObject_CallFunction(s->note, "lKKKN", static_cast<long>(kind), s->index, offset, length,
                                             payload);
    Py_XDECREF(result);
    return result != nullptr;
}

// Asks the stream for more octets, keeping those from `keep_from` on; false when it raised.
bool fill(ScannerObject* s, unsigned long long keep_from, unsigned long long declared) {
    PyObject* result = PyObject_CallFunction(s->fill, "KK", keep_from, declared);
    if (result == nullptr) return false;
    unsigned long long dropped = 0;
    int more = 0;
    const bool ok = PyArg_ParseTuple(result, "Kp", &dropped, &more) && dropped <= keep_from;
    Py_DECREF(result);
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "fill() dropped octets it was told to keep");
        return false;
    }
    s->base += dropped;
    s->pos = keep_from - dropped;
    if (!more) Py_CLEAR(s->fill);
    return true;
}

PyObject* new_message_at(ScannerObject* s, ScanStep& step, Octets octets) {
    const std::uint64_t offset = s->base + step.offset;
    if (!s->copies)
        return new_message(s->message_class, s->buffer, step.offset, s->index, offset, std::move(step.message),
                           s->by_key);
    PyObject* own = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(octets.data() + step.offset),
                                              static_cast<Py_ssize_t>(step.length));
    if (own == nullptr) return nullptr;
    PyObject* message = new_message(s->message_class, own, 0, s->index, offset, std::move(step.message), s->by_key);
    Py_DECREF(own);
    return message;
}

// One marker: a message object, or nullptr with `stop` telling an exception or the end from a
// noted problem (after which the scan goes on).
PyObject* scan_one(ScannerObject* s, bool& stop) {
    stop = true;
    BorrowedBuffer buffer;
    if (!buffer.borrow(s->buffer, "buffer")) return nullptr;
    const Octets octets = buffer.octets();
    ScanStep step = scan_next(octets, std::min<unsigned long long>(s->pos, octets.size()));
    if (s->fill != nullptr && (step.kind == ScanStep::Kind::End || step.kind == ScanStep::Kind::Cut)) {
        // The marker, or the message, may go on past what the stream has given so far; a
        // marker may start in the last 3 octets.
        const unsigned long long tail = octets.size() - std::min<std::size_t>(octets.size(), 3);
        const unsigned long long keep_from =
            step.kind == ScanStep::Kind::Cut ? step.offset : std::max<unsigned long long>(s->pos, tail);
        buffer.release();
        stop = !fill(s, keep_from, step.length);
        return nullptr;
    }
    const unsigned long long offset = s->base + step.offset;
    if (offset > s->accounted && !note(s, kIgnored, s->accounted, offset - s->accounted, Py_NewRef(Py_None)))
        return nullptr;
    s->accounted = std::max(s->accounted, offset);
    const bool quiet = offset < s->quiet_until;
    unsigned long long extent = step.length;
    switch (step.kind) {
        case ScanStep::Kind::End:
            s->done = true;
            note(s, kEnd, offset, 0, Py_NewRef(Py_None));
            return nullptr;
        case ScanStep::Kind::Message: {
            PyObject* message = new_message_at(s, step, octets);
            if (message == nullptr) return nullptr;
            s->accounted = offset + step.length;
            s->quiet_until = 0;
            ++s->index;
            s->pos = step.next;
            return message;
        }
        case ScanStep::Kind::Bad:
            if (step.error.kind == ErrorKind::Internal) return raise_error(step.error);
            if (!quiet && !note(s, kBad, offset, step.length, to_str(step.error.message()))) return nullptr;
            break;
        case ScanStep::Kind::Cut:
            extent = octets.size() - step.offset;
            if (!quiet && !note(s, kCut, offset, step.length, PyLong_FromUnsignedLongLong(extent))) return nullptr;
            break;
    }
    const unsigned long long end = offset + std::max<unsigned long long>(extent, 4);
    s->accounted = std::max(s->accounted, end);
    if (!quiet) {
        s->quiet_until = end;
        ++s->index;
    }
    s->pos = step.next;
    stop = false;
    return nullptr;
}

PyObject* scanner_next(PyObject* self) {
    ScannerObject* s = as_scanner(self);
    if (s->done) return nullptr;
    PyObject* message = nullptr;
    bool stop = false;
    while (message == nullptr && !stop) message = guard_reader_call("Scanner", [&] { return scan_one(s, stop); });
    // An exception ends the read, as it ends a generator.
    if (message == nullptr && PyErr_Occurred()) s->done = true;
    return message;
}

PyObject* scanner_close(PyObject* self, PyObject*) {
    as_scanner(self)->done = true;
    Py_CLEAR(as_scanner(self)->buffer);
    Py_RETURN_NONE;
}

PyMethodDef scanner_methods[] = {
    {"close", NV_ENTRY(scanner_close), METH_NOARGS, "close($self)\n--\n\nEnds the scan and lets go of the buffer."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, NV_ENTRY(scanner_new)},
    {Py_tp_dealloc, NV_ENTRY(scanner_dealloc)},
    {Py_tp_traverse, NV_ENTRY(scanner_traverse)},
    {Py_tp_clear, NV_ENTRY(scanner_clear)},
    {Py_tp_iter, NV_ENTRY(PyObject_SelfIter)},
    {Py_tp_iternext, NV_ENTRY(scanner_next)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_doc, const_cast<char*>("Scanner(buffer, message_class, by_key, note, fill)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "norvane._reader.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    scanner_slots,
};

}  // namespace

PyTypeObject* create_scanner_type() { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scanner_spec)); }

}  // namespace norvane::py
