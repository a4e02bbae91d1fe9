#include "module/docs_argument.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "text/transcode.hpp"

#include "module/arrow_argument.hpp"

namespace py = pybind11;

namespace tarvelin {
namespace {

// Drops a queued document's reference; the queue is recycled and destroyed
// with the interpreter lock held.
void release_document(void *owner) noexcept {
  Py_DECREF(static_cast<PyObject *>(owner));
}

// A private copy of `n` units of a str with lone surrogates, each read as
// U+FFFD; nullptr when memory cannot be had.
template <class Unit>
Unit *replacing_copy(const Unit *units, std::size_t n) noexcept {
  auto *copy = static_cast<Unit *>(std::malloc(n * sizeof(Unit)));
  if (copy == nullptr)
    return nullptr;
  for (std::size_t i = 0; i < n; ++i)
    copy[i] =
        units[i] >= 0xD800u && units[i] <= 0xDFFFu ? Unit{0xFFFD} : units[i];
  return copy;
}

bool has_surrogate(const void *data, int kind, std::size_t n) noexcept {
  if (kind == PyUnicode_2BYTE_KIND)
    return ucs2_has_surrogate(static_cast<const std::uint16_t *>(data), n);
  if (kind == PyUnicode_4BYTE_KIND)
    return ucs4_has_surrogate(static_cast<const std::uint32_t *>(data), n);
  return false;
}

} // namespace

void DocsFeed::open(FromDocsTokenizer &t, py::handle docs) {
  // An Arrow column: read in place, without the interpreter lock.
  if (std::unique_ptr<StringColumn> column = arrow_column_of(docs)) {
    if (!t.open_column(std::move(column)))
      throw std::bad_alloc();
    return;
  }
  PyObject *obj = docs.ptr();
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj))
    throw py::type_error(
        std::string("FDTokenizer takes an iterable of documents, not one ") +
        Py_TYPE(obj)->tp_name + " (for one text use FTTokenizer)");
  PyObject *it = PyObject_GetIter(obj);
  if (it == nullptr) {
    PyErr_Clear();
    throw py::type_error(
        std::string("FDTokenizer takes an iterable of str, bytes or "
                    "bytearray documents, or an Arrow string column, not ") +
        Py_TYPE(obj)->tp_name);
  }
  iterator_ = py::reinterpret_steal<py::object>(it);
  if (!t.open_queue(QUEUE_DOCUMENTS, &release_document))
    throw std::bad_alloc();
}

bool DocsFeed::take(PyObject *item, std::uint64_t index, DecodeErrors errors,
                    DocRecord &r, std::uint64_t &bytes) {
  r = DocRecord{};
  r.index = index;
  if (PyUnicode_Check(item)) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    const void *data = PyUnicode_DATA(item);
    r.data = data;
    r.size = n;
    bytes += n;
    if (PyUnicode_IS_ASCII(item)) { // its characters are its UTF-8 bytes
      r.owner = item;
      return true;
    }
    const int kind = PyUnicode_KIND(item);
    r.unit_size = static_cast<std::uint8_t>(kind);
    if (!has_surrogate(data, kind, n)) {
      r.owner = item;
      return true;
    }
    Py_DECREF(item);
    if (errors == DecodeErrors::strict) {
      PyErr_Format(
          PyExc_TypeError,
          "document %llu (str) holds a lone surrogate, which has no UTF-8 form "
          "(with set_errors('replace') it reads as U+FFFD)",
          static_cast<unsigned long long>(index));
      return false;
    }
    r.data =
        kind == PyUnicode_2BYTE_KIND
            ? static_cast<const void *>(
                  replacing_copy(static_cast<const std::uint16_t *>(data), n))
            : static_cast<const void *>(
                  replacing_copy(static_cast<const std::uint32_t *>(data), n));
    if (r.data == nullptr)
      throw std::bad_alloc();
    r.owned = true;
    return true;
  }
  if (PyBytes_Check(item)) {
    r.data = PyBytes_AS_STRING(item);
    r.size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(item));
    r.owner = item;
    bytes += r.size;
    return true;
  }
  if (PyByteArray_Check(item)) { // may change or move: copied
    const auto n = static_cast<std::size_t>(PyByteArray_GET_SIZE(item));
    void *copy = std::malloc(n == 0 ? 1 : n);
    if (copy == nullptr) {
      Py_DECREF(item);
      throw std::bad_alloc();
    }
    if (n != 0)
      std::memcpy(copy, PyByteArray_AS_STRING(item), n);
    Py_DECREF(item);
    r.data = copy;
    r.size = n;
    r.owned = true;
    bytes += n;
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "document %llu is %.200s, not str, bytes or bytearray",
               static_cast<unsigned long long>(index), Py_TYPE(item)->tp_name);
  Py_DECREF(item);
  return false;
}

void DocsFeed::refill(FromDocsTokenizer &t) {
  DocsSource &queue = t.documents();
  queue.recycle();
  if (pending_) { // met after the documents read since
    PyErr_SetRaisedException(pending_.release().ptr());
    throw py::error_already_set();
  }
  if (!iterator_) {
    queue.end_input();
    return;
  }
  // An exception with documents queued before it waits for them to be read.
  const auto fail = [&] {
    if (queue.queued() == 0)
      throw py::error_already_set();
    pending_ = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
  };
  std::uint64_t bytes = 0;
  while (bytes < QUEUE_BYTES) {
    DocRecord *r = queue.slot();
    if (r == nullptr)
      return;
    PyObject *item = PyIter_Next(iterator_.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred())
        return fail();
      iterator_ = py::object();
      queue.end_input();
      return;
    }
    if (!take(item, next_index_++, t.errors(), *r, bytes))
      return fail();
    queue.push();
  }
}

} // namespace tarvelin
