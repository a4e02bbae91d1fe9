#include "module/batch_dict.hpp"

#include <pybind11/numpy.h>

#include <cstring>

#include "text/transcode.hpp"

namespace py = pybind11;

namespace tarvelin {
namespace {

[[noreturn]] void raise_string_failure() {
    if (PyErr_Occurred()) throw py::error_already_set(); // e.g. UnicodeDecodeError
    throw std::runtime_error("Could not allocate string object!");
}

py::str new_str(const char* data, std::uint64_t size, const char* errors = "strict") {
    PyObject* s = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), errors);
    if (s == nullptr) raise_string_failure();
    return py::reinterpret_steal<py::str>(s);
}

// The "types" arrays' type: numpy.ndarray with one field more, the types
// block the array views (see TypesBlock), which it holds from its making to
// its deallocation. Arrays numpy makes of this type (views, copies) leave it
// empty: a view holds its base array, and with it the block. The type keeps
// the collector's traversal of the base that views need, and its repr, str
// and pickled form are those of a plain ndarray.
// The base type is reached through the type itself: the array support's
// own tables may already be gone when the last arrays die at exit.
PyObject* plain_view(PyObject* self) {
    auto* base = reinterpret_cast<PyObject*>(Py_TYPE(self)->tp_base);
    return PyObject_CallMethod(self, "view", "O", base);
}

// Where the block field lies: just after the ndarray's own fields.
TypesBlock*& held_block(PyObject* self) {
    const Py_ssize_t at = Py_TYPE(self)->tp_base->tp_basicsize;
    return *reinterpret_cast<TypesBlock**>(reinterpret_cast<char*>(self) + at);
}

int traverse_types(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(py::detail::array_proxy(self)->base);
    return 0;
}

void dealloc_types(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    TypesBlock* block = held_block(self);
    PyObject_GC_UnTrack(self);
    type->tp_base->tp_dealloc(self); // ndarray's; frees through our tp_free
    TypesBlock::let_go(block);
    Py_DECREF(type);
}

// What `act` gives for the array seen as a plain ndarray.
template <class Act>
PyObject* on_plain_view(PyObject* self, Act act) {
    PyObject* view = plain_view(self);
    if (view == nullptr) return nullptr;
    PyObject* r = act(view);
    Py_DECREF(view);
    return r;
}

PyObject* repr_types(PyObject* self) { return on_plain_view(self, PyObject_Repr); }

PyObject* str_types(PyObject* self) { return on_plain_view(self, PyObject_Str); }

PyObject* reduce_types(PyObject* self, PyObject* protocol) {
    return on_plain_view(self, [protocol](PyObject* view) {
        return PyObject_CallMethod(view, "__reduce_ex__", "O", protocol);
    });
}

PyMethodDef types_methods[] = {
    {"__reduce_ex__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reduce_types)),
     METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_types_type() {
    auto& api = py::detail::npy_api::get();
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(&traverse_types)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_types)},
        {Py_tp_alloc, reinterpret_cast<void*>(&PyType_GenericAlloc)},
        {Py_tp_free, reinterpret_cast<void*>(&PyObject_GC_Del)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr_types)},
        {Py_tp_str, reinterpret_cast<void*>(&str_types)},
        {Py_tp_methods, types_methods},
        {0, nullptr},
    };
    const auto basicsize =
        static_cast<int>(api.PyArray_Type_->tp_basicsize + sizeof(TypesBlock*));
    PyType_Spec definition{"tarvelinCXX.types_array", basicsize, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    auto* base = reinterpret_cast<PyObject*>(api.PyArray_Type_);
    PyObject* type = PyType_FromSpecWithBases(&definition, base);
    if (type == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(type);
}

// Made on the first non-empty batch (which imports NumPy), under the
// interpreter lock; kept for the life of the process.
PyTypeObject* types_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = make_types_type();
    return type;
}

// A writable uint64 array over the first `count` entries of `block`, holding
// the block.
py::object types_view(TypesBlock& block, std::uint64_t count) {
    auto& api = py::detail::npy_api::get();
    PyTypeObject* type = types_type();
    py::dtype dtype = py::dtype::of<std::uint64_t>();
    Py_intptr_t shape[1] = {static_cast<Py_intptr_t>(count)};
    Py_intptr_t strides[1] = {static_cast<Py_intptr_t>(sizeof(std::uint64_t))};
    auto array = py::reinterpret_steal<py::object>(
        api.PyArray_NewFromDescr_(type, dtype.release().ptr(), 1, shape, strides, block.entries(),
                                  py::detail::npy_api::NPY_ARRAY_WRITEABLE_, nullptr));
    if (!array) throw py::error_already_set();
    block.hold();
    held_block(array.ptr()) = &block;
    return array;
}

// Each token's document index, expanded from the batch's runs (a copy).
py::array_t<std::uint64_t> docs_array(const BatchBuffer& batch) {
    py::array_t<std::uint64_t> docs(static_cast<py::ssize_t>(batch.token_count));
    batch.docs.expand(docs.mutable_data(), batch.token_count);
    return docs;
}

// A batch whose bytes are not well-formed UTF-8: its decoding error, raised
// with the batch attached as the attribute `batch`, {"text": its bytes decoded
// with surrogateescape, "types": a copy of its types}, so nothing is lost.
[[noreturn]] void raise_malformed(const BatchBuffer& batch) {
    const auto* bytes = reinterpret_cast<const char*>(batch.text_buffer);
    PyObject* s = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(batch.text_bytes), "strict");
    if (s != nullptr) { // cannot happen: the batch was found malformed
        Py_DECREF(s);
        throw std::runtime_error("Could not allocate string object!");
    }
    auto error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    if (error && PyErr_GivenExceptionMatches(error.ptr(), PyExc_UnicodeDecodeError)) {
        py::dict kept;
        kept[new_str("text", 4)] = new_str(bytes, batch.text_bytes, "surrogateescape");
        kept[new_str("types", 5)] = py::array_t<std::uint64_t>(
            static_cast<py::ssize_t>(batch.token_count), batch.types_buffer); // a copy
        if (batch.docs.active) kept[new_str("docs", 4)] = docs_array(batch);
        if (batch.offsets != nullptr)
            kept[new_str("offsets", 7)] = py::array_t<std::uint64_t>(
                static_cast<py::ssize_t>(batch.token_count), batch.offsets);
        if (PyObject_SetAttrString(error.ptr(), "batch", kept.ptr()) != 0)
            throw py::error_already_set();
    }
    PyErr_SetRaisedException(error.release().ptr());
    throw py::error_already_set();
}

// Batch texts from this size on are written without the interpreter lock.
constexpr std::uint64_t UNLOCKED_TEXT_BYTES = 64 * 1024;

// The batch's text as a str, written once in its final storage width:
// copied when it is ASCII, else transcoded from the UTF-8 bytes. A batch with
// a malformed character raises the decoding error.
py::str batch_text(const BatchBuffer& batch) {
    if (batch.malformed) raise_malformed(batch);
    // char_bits lies in the storage class of the largest character.
    const Py_UCS4 max_char = batch.char_bits < 0x10FFFFu ? batch.char_bits : 0x10FFFFu;
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(batch.text_chars), max_char);
    if (s == nullptr) raise_string_failure();
    auto result = py::reinterpret_steal<py::str>(s);
    void* data = PyUnicode_DATA(s);
    const int kind = PyUnicode_KIND(s);
    const auto fill = [&] {
        const std::uint8_t* text = batch.text_buffer;
        switch (kind) {
        case PyUnicode_1BYTE_KIND:
            if (max_char < 0x80u) std::memcpy(data, text, batch.text_bytes);
            else utf8_to_ucs1(text, batch.text_bytes, static_cast<std::uint8_t*>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            utf8_to_ucs2(text, batch.text_bytes, static_cast<std::uint16_t*>(data));
            break;
        default: utf8_to_ucs4(text, batch.text_bytes, static_cast<std::uint32_t*>(data)); break;
        }
    };
    // A large text is written with the interpreter lock released, so that
    // other threads run meanwhile: the new str is seen by no one else yet,
    // and the batch is the calling tokenizer's, held by its call lock. (The
    // first writes to the str's fresh pages take most of the time.)
    if (batch.text_bytes >= UNLOCKED_TEXT_BYTES) {
        py::gil_scoped_release unlocked;
        fill();
    } else {
        fill();
    }
    return result;
}

} // namespace

py::dict batch_to_dict(const BatchBuffer& batch) {
    PyObject* raw = PyDict_New();
    if (raw == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    auto result = py::reinterpret_steal<py::dict>(raw);
    if (batch.token_count == 0) return result;

    py::str text = batch_text(batch);
    py::str text_key = new_str("text", 4);
    if (PyDict_SetItem(result.ptr(), text_key.ptr(), text.ptr()) != 0) throw py::error_already_set();

    py::object types = types_view(*batch.types_block, batch.token_count);
    py::str types_key = new_str("types", 5);
    if (PyDict_SetItem(result.ptr(), types_key.ptr(), types.ptr()) != 0) throw py::error_already_set();

    if (batch.docs.active) {
        py::object docs = docs_array(batch);
        py::str docs_key = new_str("docs", 4);
        if (PyDict_SetItem(result.ptr(), docs_key.ptr(), docs.ptr()) != 0)
            throw py::error_already_set();
    }

    // Asked for by set_offsets: an array of its own (a copy), since the
    // storage it comes from is overwritten by the next batch.
    if (batch.offsets != nullptr) {
        py::array_t<std::uint64_t> offsets(static_cast<py::ssize_t>(batch.token_count),
                                           batch.offsets);
        py::str offsets_key = new_str("offsets", 7);
        if (PyDict_SetItem(result.ptr(), offsets_key.ptr(), offsets.ptr()) != 0)
            throw py::error_already_set();
    }
    return result;
}

} // namespace tarvelin
