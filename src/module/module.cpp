// The tokenizer module: the Python names, the loops that read with the
// interpreter lock released, and the reprs. What works around the binding
// library lives in module/workaround_* (one file each).
//
// Ownership, as Python sees it:
// - An FTTokenizer / FFTokenizer object owns its native tokenizer (default
//   holder, a unique pointer); the tokenizer owns its open file or its text
//   (a copy of a bytearray, or a strong reference to the immutable str or
//   bytes whose UTF-8 bytes it reads in place) and its batch storage, all
//   released when the Python object is destroyed.
// - A stream (fts_stream / ffs_stream) holds a strong reference to its
//   tokenizer's Python object, which the cyclic garbage collector sees
//   (tp_traverse / tp_clear), so a tokenizer subclass that keeps one of its
//   own streams on itself is still collected.
// - A "types" array views one of the tokenizer's types blocks and holds that
//   block, not the tokenizer: no later batch writes into it, and it is freed
//   by the last of the array and the tokenizer to let go (see TypesBlock).
// - A "text" str is an independent copy.
//
// Objects made by __new__ alone (their __init__ never ran) hold no native
// object: every method refuses them with TypeError, in the argument
// conversion of `self` (see workaround_initialised_caster.hpp), and their
// repr says so. A second __init__ on a live tokenizer raises TypeError as well
// (see workaround_init_once.hpp).
//
// Threads: each tokenizer runs one call at a time (CallLock). get_batch reads
// in slices of read_slice_bytes bytes with the interpreter lock released, and between
// slices runs the pending signal handlers; when one raises, the batch stays
// open and the next call goes on filling it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "module/batch_dict.hpp"
#include "module/call_lock.hpp"
#include "module/docs_argument.hpp"
#include "module/docstrings.hpp"
#include "module/file_state.hpp"
#include "module/path_argument.hpp"
#include "module/text_argument.hpp"
#include "module/token_counts.hpp"
#include "module/workaround_base_new.hpp"
#include "module/workaround_checked.hpp"
#include "module/workaround_init_once.hpp"
#include "module/workaround_initialised_caster.hpp"
#include "tokenizers/tokenizers.hpp"

namespace py = pybind11;

namespace tarvelin {

// A native tokenizer as the Python object owns it: the core tokenizer, the
// lock that serialises calls on it, and the Python object that owns it.
template <class Core>
struct Bound : Core {
    CallLock lock;
    PyObject* self = nullptr; // borrowed: the owner outlives what it owns
    TokenCounter counter;     // what count_tokens has counted and not yet returned
};

using BoundText = Bound<FromTextTokenizer>;
using BoundFile = Bound<FromFileTokenizer>;
using BoundDocs = Bound<DocsTokenizer>;

// A stream: its tokenizer and a strong reference to the tokenizer's Python
// object, dropped only by the collector's tp_clear (then `owner` is empty).
template <class T>
struct Stream {
    T* tokenizer;
    py::object owner;
};

} // namespace tarvelin

namespace pybind11::detail {

template <>
struct type_caster<tarvelin::BoundText> : initialised_caster<tarvelin::BoundText> {};
template <>
struct type_caster<tarvelin::BoundFile> : initialised_caster<tarvelin::BoundFile> {};
template <>
struct type_caster<tarvelin::Stream<tarvelin::BoundText>>
    : initialised_caster<tarvelin::Stream<tarvelin::BoundText>> {};
template <>
struct type_caster<tarvelin::Stream<tarvelin::BoundFile>>
    : initialised_caster<tarvelin::Stream<tarvelin::BoundFile>> {};
template <>
struct type_caster<tarvelin::BoundDocs> : initialised_caster<tarvelin::BoundDocs> {};
template <>
struct type_caster<tarvelin::Stream<tarvelin::BoundDocs>>
    : initialised_caster<tarvelin::Stream<tarvelin::BoundDocs>> {};

} // namespace pybind11::detail

using namespace tarvelin;

namespace {

// Bytes read between two looks at pending signals. The slice bounds the delay
// of a Ctrl-C and the time spent without the interpreter lock taken back.
// Benchmarks may change it (_set_read_slice) to measure what the looks cost.
std::atomic<std::uint64_t> read_slice_bytes{std::uint64_t{4} << 20};

std::unique_ptr<BoundFile> open_file_tokenizer(PathArgument path) {
    // Opening a FIFO waits for its writer: not with the interpreter lock held.
    const std::string& name = path.bytes;
    auto tokenizer = std::make_unique<BoundFile>();
    bool opened;
    {
        py::gil_scoped_release unlocked;
        opened = tokenizer->open(name.data(), name.size());
    }
    if (!opened) throw std::bad_alloc();
    return tokenizer;
}

// Drops the reference a tokenizer holds on the object whose bytes it reads.
// Tokenizers are destroyed with their Python object, with the interpreter's
// lock held.
void release_text_owner(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

std::unique_ptr<BoundText> open_text_tokenizer(TextArgument text) {
    auto tokenizer = std::make_unique<BoundText>();
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

[[noreturn]] void raise_read_error(const BoundFile& tokenizer) {
    raise_file_error(tokenizer.path(), tokenizer.read_error_code());
}

[[noreturn]] void raise_read_error(const BoundText&) {
    throw std::runtime_error("the text could not be read"); // a text source never fails
}

std::unique_ptr<BoundDocs> open_docs_tokenizer(py::object docs) {
    auto tokenizer = std::make_unique<BoundDocs>();
    tokenizer->feed.open(*tokenizer, docs);
    return tokenizer;
}

[[noreturn]] void raise_read_error(const BoundDocs&) {
    throw std::runtime_error("the documents could not be read"); // documents never fail
}

// Queues the next documents of a tokenizer over documents (the only one
// whose reading asks for them), with the interpreter lock held.
template <class T>
void supply_documents(T& tokenizer) {
    if constexpr (std::is_same_v<T, BoundDocs>) tokenizer.feed.refill(tokenizer);
    else throw std::runtime_error("this tokenizer reads no documents");
}

// Fills the batch in slices, each read with the interpreter lock released.
// After a slice that left the batch open, pending signal handlers run; an
// exception from one leaves the batch open for the next call.
template <class T>
void fill_batch(T& tokenizer) {
    for (;;) {
        ReadResult result;
        {
            py::gil_scoped_release unlocked;
            result = tokenizer.read_some(read_slice_bytes.load(std::memory_order_relaxed));
        }
        if (result == ReadResult::complete) return;
        if (result == ReadResult::read_error) raise_read_error(tokenizer);
        if (result == ReadResult::no_memory) throw std::bad_alloc(); // the batch stays open
        if (result == ReadResult::needs_documents) supply_documents(tokenizer);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

template <class T>
py::dict get_batch(T& tokenizer) {
    const CallGuard guard{tokenizer.lock};
    fill_batch(tokenizer);
    return batch_to_dict(tokenizer.batch_buffer());
}

// Counts the tokens from where the tokenizer stands to the end of the input
// (or, with max_bytes, up to the first batch boundary after that many more
// bytes), in slices read without the interpreter lock like get_batch. What an
// interrupted or failed call has counted is kept and returned by the next.
template <class T>
py::typing::Dict<py::str, py::int_> count_tokens(T& tokenizer,
                                                 std::optional<std::uint64_t> max_bytes) {
    const CallGuard guard{tokenizer.lock};
    require_input(tokenizer);
    const std::uint64_t start = tokenizer.position();
    for (;;) {
        ReadResult result;
        {
            py::gil_scoped_release unlocked;
            result = tokenizer.count_some(tokenizer.counter, read_slice_bytes.load(std::memory_order_relaxed));
        }
        if (result == ReadResult::complete) break;
        if (result == ReadResult::read_error) raise_read_error(tokenizer);
        if (result == ReadResult::no_memory) throw std::bad_alloc();
        if (result == ReadResult::needs_documents) supply_documents(tokenizer);
        if (max_bytes && !tokenizer.batch_open() && tokenizer.position() - start >= *max_bytes)
            break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return take_counts(tokenizer.counter);
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

// What a tokenizer reads, how far it has got, and its settings.
std::string describe_input(const BoundText& t) {
    return "text of " + std::to_string(t.size()) + " bytes, at byte " + std::to_string(t.position());
}

std::string describe_input(const BoundFile& t) {
    const std::string_view path = t.path();
    py::object name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!name) throw py::error_already_set();
    return py::repr(name).cast<std::string>() + ", " + file_state(t) +
           ", at byte " + std::to_string(t.position());
}

std::string describe_input(const BoundDocs& t) {
    return std::string(t.documents().column_mode() ? "column" : "iterable") + ", " +
           std::to_string(t.documents_read()) + " documents read, at byte " +
           std::to_string(t.position());
}

template <class T>
std::string tokenizer_repr(T& t, const char* cls) {
    try {
        const CallGuard guard{t.lock};
        const BatchBuffer& b = t.batch_buffer();
        return std::string("<") + cls + " " + describe_input(t) +
               ": batch_size=" + std::to_string(b.batch_size) + ", filter=" + hex(b.filter) +
               ", token_min_len=" + std::to_string(b.token_min_len) +
               ", token_max_len=" + std::to_string(b.token_max_len) + ", errors=" +
               (t.errors() == DecodeErrors::replace ? "'replace'" : "'strict'") +
               ", offsets=" + (b.offsets_wanted ? "True" : "False") + ">";
    } catch (const std::runtime_error&) { // asked from inside a call running on it
        return std::string("<") + cls + " (running a call)>";
    }
}

// The repr of any object of the class of T, `cls`, initialised or not.
template <class T>
std::string any_tokenizer_repr(py::handle self, const char* cls) {
    if (!is_initialised<T>(self)) return std::string("<") + cls + ": not initialised>";
    return tokenizer_repr(self.cast<T&>(), cls);
}

template <class T>
py::dict stream_next(Stream<T>& stream) {
    if (!stream.owner) throw py::type_error("the stream was cleared by the garbage collector");
    py::dict batch = get_batch(*stream.tokenizer);
    if (batch.empty()) throw py::stop_iteration();
    return batch;
}

template <class T>
Stream<T>* stream_of(PyObject* self) noexcept {
    auto v_h = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    return v_h.holder_constructed() ? v_h.template value_ptr<Stream<T>>() : nullptr;
}

template <class T>
int traverse_stream(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Stream<T>* stream = stream_of<T>(self)) Py_VISIT(stream->owner.ptr());
    return 0;
}

template <class T>
int clear_stream(PyObject* self) {
    if (Stream<T>* stream = stream_of<T>(self)) {
        PyObject* owner = stream->owner.release().ptr();
        Py_XDECREF(owner);
    }
    return 0;
}

template <class T>
void bind_stream(py::module_& m, const char* name) {
    py::class_<Stream<T>>(m, name, doc::stream_class, py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                              PyTypeObject* type = &heap_type->ht_type;
                              type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                              type->tp_traverse = &traverse_stream<T>;
                              type->tp_clear = &clear_stream<T>;
                          }))
        .def("__iter__", [](const Stream<T>& stream) { return stream; }, doc::stream_iter)
        .def("__next__", &stream_next<T>, doc::stream_next)
        .def("__repr__", [name](py::handle self) {
            if (!is_initialised<Stream<T>>(self))
                return std::string("<") + name + ": not initialised>";
            const auto& stream = self.cast<const Stream<T>&>();
            if (!stream.owner) return std::string("<") + name + " (cleared)>";
            return std::string("<") + name + " of " + py::repr(stream.owner).template cast<std::string>() +
                   ">";
        });
}

template <class T>
Stream<T> stream_of_tokenizer(T& t) {
    return Stream<T>{&t, py::reinterpret_borrow<py::object>(t.self)};
}

// A setter of one integer setting, called under the tokenizer's CallLock.
template <auto set, class T>
void locked_setter(T& t, std::uint64_t value) {
    const CallGuard guard{t.lock};
    (t.*set)(value);
}

// Methods common to both tokenizers, in registration order after __init__.
// Each one holds the tokenizer's CallLock.
template <class T>
void bind_batch_methods(py::class_<T>& cls) {
    cls.def(
           "set_batch_size",
           [](T& t, std::uint64_t n) {
               const CallGuard guard{t.lock};
               if (!t.set_batch_size(n)) throw std::bad_alloc();
           },
           doc::set_batch_size)
        .def("set_filter", &locked_setter<&T::set_filter, T>, doc::set_filter)
        .def("set_token_min_len", &locked_setter<&T::set_token_min_len, T>,
             doc::set_token_min_len)
        .def("set_token_max_len", &locked_setter<&T::set_token_max_len, T>,
             doc::set_token_max_len)
        .def("get_batch", &get_batch<T>, doc::get_batch)
        .def_property_readonly("stream", &stream_of_tokenizer<T>, doc::stream)
        .def(
            "set_errors",
            [](T& t, const py::str& mode) {
                DecodeErrors errors;
                if (PyUnicode_CompareWithASCIIString(mode.ptr(), "strict") == 0)
                    errors = DecodeErrors::strict;
                else if (PyUnicode_CompareWithASCIIString(mode.ptr(), "replace") == 0)
                    errors = DecodeErrors::replace;
                else
                    throw py::value_error("unknown error mode " +
                                          py::repr(mode).cast<std::string>() +
                                          "; expected 'strict' or 'replace'");
                const CallGuard guard{t.lock};
                t.set_errors(errors);
            },
            doc::set_errors)
        .def(
            "set_offsets",
            [](T& t, bool on) {
                const CallGuard guard{t.lock};
                if (!t.set_offsets(on)) throw std::bad_alloc();
            },
            doc::set_offsets)
        .def("count_tokens", &count_tokens<T>, py::arg("max_bytes") = py::none(),
             doc::count_tokens)
        .def("__iter__", &stream_of_tokenizer<T>, doc::tokenizer_iter);
}

} // namespace

// The module's body; its entry point is in workaround_module_init.cpp.
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

    bind_stream<BoundText>(m, "fts_stream");
    py::class_<BoundText> text_tokenizer(m, "FTTokenizer", doc::text_tokenizer);
    text_tokenizer.def("__init__", &init_once<BoundText, TextArgument, &open_text_tokenizer>,
                       py::arg("text"), doc::text_init);
    own_init_check(text_tokenizer);
    check_base_constructor_guarded(text_tokenizer);
    bind_batch_methods(text_tokenizer);
    text_tokenizer.def("__repr__", [](py::handle self) {
        return any_tokenizer_repr<BoundText>(self, "FTTokenizer");
    });

    bind_stream<BoundFile>(m, "ffs_stream");
    py::class_<BoundFile> file_tokenizer(m, "FFTokenizer", doc::file_tokenizer);
    file_tokenizer
        .def("__init__", &init_once<BoundFile, PathArgument, &open_file_tokenizer>,
             py::arg("fpath"), doc::file_init)
        .def(
            "is_fopen",
            [](BoundFile& t) {
                const CallGuard guard{t.lock};
                return t.is_fopen();
            },
            doc::is_fopen);
    own_init_check(file_tokenizer);
    check_base_constructor_guarded(file_tokenizer);
    bind_batch_methods(file_tokenizer);
    file_tokenizer
        .def(
            "close",
            [](BoundFile& t) {
                const CallGuard guard{t.lock};
                t.close();
            },
            doc::close)
        .def(
            "__enter__", [](BoundFile& t) -> BoundFile& { return t; },
            py::return_value_policy::reference, doc::enter)
        .def(
            "__exit__",
            [](BoundFile& t, const py::object&, const py::object&, const py::object&) {
                const CallGuard guard{t.lock};
                t.close();
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), doc::exit)
        .def("__repr__", [](py::handle self) {
            return any_tokenizer_repr<BoundFile>(self, "FFTokenizer");
        });

    bind_stream<BoundDocs>(m, "fds_stream");
    py::class_<BoundDocs> docs_tokenizer(m, "FDTokenizer", doc::docs_tokenizer);
    docs_tokenizer.def("__init__", &init_once<BoundDocs, py::object, &open_docs_tokenizer>,
                       py::arg("docs"), doc::docs_init);
    own_init_check(docs_tokenizer);
    check_base_constructor_guarded(docs_tokenizer);
    bind_batch_methods(docs_tokenizer);
    docs_tokenizer.def("__repr__", [](py::handle self) {
        return any_tokenizer_repr<BoundDocs>(self, "FDTokenizer");
    });

    m.doc() = doc::module;
    m.attr("__version__") = TARVELIN_VERSION;

    // For tests and benchmarks: the vector scanning levels this CPU has, and
    // forcing one of them for the whole process.
    m.def("_scan_levels", [] {
        py::list names;
        for (const char* name : scan_levels()) names.append(name);
        return names;
    });
    m.def("_scan_level", [] { return std::string(scan_level()); });
    m.def("_set_scan_level", [](const std::string& name) {
        if (!set_scan_level(name)) throw py::value_error("no scanning level " + name + " here");
    });
    // For benchmarks: the bytes read between two looks at pending signals
    // (at least 1); returns the previous value.
    m.def("_set_read_slice", [](std::uint64_t bytes) {
        return read_slice_bytes.exchange(bytes == 0 ? 1 : bytes, std::memory_order_relaxed);
    });
    // For tests: the binding library release the module was built with, and
    // the one its workarounds were checked against.
    m.def("_binding_library", [] {
        return py::make_tuple(BINDING_LIBRARY_BUILT, BINDING_LIBRARY_CHECKED);
    });
    // For tests: (types blocks made so far, types blocks not yet freed).
    m.def("_types_blocks", [] {
        return py::make_tuple(types_block_counts.made.load(std::memory_order_relaxed),
                              types_block_counts.live.load(std::memory_order_relaxed));
    });
}
