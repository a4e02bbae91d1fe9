// The tarvelinCXX extension module: the version gate and the Python names.
//
// Ownership, as Python sees it:
// - An FTTokenizer / FFTokenizer object owns its native tokenizer (default
//   holder, a unique pointer); the tokenizer owns its open file or its text
//   (a copy of a bytearray, or a strong reference to the immutable str or
//   bytes whose UTF-8 bytes it reads in place) and its batch storage, all
//   released when the Python object is destroyed.
// - A stream (fts_stream / ffs_stream) holds a plain pointer to its tokenizer;
//   `stream` and `__iter__` tie the new stream's lifetime to the object they
//   were called on (keep_alive), so a stream keeps its tokenizer alive, directly
//   or through the stream it came from.
// - A "types" array views the tokenizer's types storage and holds a reference
//   to the tokenizer's Python object; that storage is never freed or shrunk
//   while the tokenizer lives (see BatchBuffer).
// - A "text" str is an independent copy.
#include <pybind11/pybind11.h>

#include <new>

#include "module/batch_dict.hpp"
#include "module/text_argument.hpp"
#include "module/version_gate.hpp"
#include "tokenizers/from_file_tokenizer.hpp"
#include "tokenizers/from_text_tokenizer.hpp"
#include "tokens/token_type.hpp"

namespace py = pybind11;
using namespace tarvelin;

namespace {

std::unique_ptr<FromFileTokenizer> open_file_tokenizer(std::string_view path) {
    auto tokenizer = std::make_unique<FromFileTokenizer>();
    if (!tokenizer->open(path.data(), path.size())) throw std::bad_alloc();
    return tokenizer;
}

// Drops the reference a tokenizer holds on the object whose bytes it reads.
// Tokenizers are destroyed with their Python object, with the interpreter's
// lock held.
void release_text_owner(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

std::unique_ptr<FromTextTokenizer> open_text_tokenizer(TextArgument text) {
    auto tokenizer = std::make_unique<FromTextTokenizer>();
    bool opened;
    if (text.unit_size != 0) {
        const TextKeeper keeper{text.owner.release().ptr(), &release_text_owner};
        opened = tokenizer->open_units(text.units, text.unit_size, text.unit_count, keeper);
    } else if (text.immutable) {
        const TextKeeper keeper{text.owner.release().ptr(), &release_text_owner};
        opened = tokenizer->open_borrowed(text.bytes.data(), text.bytes.size(), keeper);
    } else {
        opened = tokenizer->open(text.bytes.data(), text.bytes.size());
    }
    if (!opened) throw std::bad_alloc();
    return tokenizer;
}

// Runs the reading loop and converts the batch. The tokenizer's Python object
// (found from the native pointer) becomes the base of the "types" array.
template <class T>
py::dict get_batch(T& tokenizer) {
    tokenizer.next_batch();
    py::object owner = py::cast(&tokenizer, py::return_value_policy::reference);
    return batch_to_dict(tokenizer.batch_buffer(), owner);
}

template <class Stream>
py::dict stream_next(Stream& stream) {
    py::dict batch = get_batch(*stream.tokenizer);
    if (batch.empty()) throw py::stop_iteration();
    return batch;
}

template <class Stream>
void bind_stream(py::module_& m, const char* name) {
    py::class_<Stream>(m, name)
        .def("__iter__", [](Stream stream) { return stream; }, py::keep_alive<0, 1>())
        .def("__next__", &stream_next<Stream>);
}

// Methods common to both tokenizers, in registration order after __init__.
template <class T, class Stream>
void bind_batch_methods(py::class_<T>& cls) {
    cls.def("set_batch_size",
            [](T& t, std::uint64_t n) {
                if (!t.set_batch_size(n)) throw std::bad_alloc();
            })
        .def("set_filter", &T::set_filter)
        .def("set_token_min_len", &T::set_token_min_len)
        .def("set_token_max_len", &T::set_token_max_len)
        .def("get_batch", &get_batch<T>)
        .def_property_readonly(
            "stream", py::cpp_function([](T& t) { return Stream{&t}; }, py::keep_alive<0, 1>()));
}

// The binding library's common base class throws a C++ exception out of its
// constructor slot when it is called directly rather than through one of our
// classes, which aborts the process. Python reaches it that way from pickle
// protocols 0 and 1 (copyreg calls the first non-heap base with the object)
// or by calling the base class. Such a call raises TypeError instead.
newfunc unguarded_base_new = nullptr;

PyObject* guarded_base_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return unguarded_base_new(type, args, kwargs);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_TypeError, "cannot create an instance of this type");
    }
    return nullptr;
}

void guard_base_constructor() {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (base->tp_new == &guarded_base_new) return;
    unguarded_base_new = base->tp_new;
    base->tp_new = &guarded_base_new;
    PyType_Modified(base);
}

} // namespace

int pybind11_exec_tarvelinCXX(PyObject*);

// Entry point: refuses any interpreter other than the 3.13 series it was built
// for, then hands CPython the multi-phase module definition.
extern "C" PYBIND11_EXPORT PyObject* PyInit_tarvelinCXX() {
    constexpr const char* compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(
        PY_MINOR_VERSION);
    const char* runtime = Py_GetVersion();
    if (!interpreter_version_matches(runtime, compiled)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     compiled, runtime);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        static py::detail::slots_array slots = py::detail::init_slots(
            &pybind11_exec_tarvelinCXX, py::multiple_interpreters::not_supported());
        static PyModuleDef def{PyModuleDef_HEAD_INIT, "tarvelinCXX", nullptr, 0, nullptr,
                               slots.data(), nullptr, nullptr, nullptr};
        return PyModuleDef_Init(&def);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

PYBIND11_MODULE_EXEC(tarvelinCXX, m) {
    guard_base_constructor();
    py::enum_<TokenType>(m, "TokenType", py::arithmetic())
        .value("NOTTKN", TokenType::NOTTKN)
        .value("WRDSPC", TokenType::WRDSPC)
        .value("NWLINE", TokenType::NWLINE)
        .value("ENWORD", TokenType::ENWORD)
        .value("NUMBER", TokenType::NUMBER)
        .value("RUWORD", TokenType::RUWORD)
        .value("PNCTTN", TokenType::PNCTTN)
        .value("UNKNWN", TokenType::UNKNWN)
        .export_values()
        .def("__or__", [](TokenType a, TokenType b) { return type_value(a) | type_value(b); });

    bind_stream<FromTextStream>(m, "fts_stream");
    py::class_<FromTextTokenizer> text_tokenizer(m, "FTTokenizer");
    text_tokenizer.def(py::init(&open_text_tokenizer), py::arg("text"));
    bind_batch_methods<FromTextTokenizer, FromTextStream>(text_tokenizer);

    bind_stream<FromFileStream>(m, "ffs_stream");
    py::class_<FromFileTokenizer> file_tokenizer(m, "FFTokenizer");
    file_tokenizer.def(py::init(&open_file_tokenizer), py::arg("fpath"))
        .def("is_fopen", &FromFileTokenizer::is_fopen);
    bind_batch_methods<FromFileTokenizer, FromFileStream>(file_tokenizer);
}
