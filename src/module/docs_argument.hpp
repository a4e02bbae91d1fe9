// FDTokenizer's documents: an Arrow column read without the interpreter
// lock, or any iterable of str, bytes and bytearray taken a few hundred
// documents at a time into the native tokenizer's queue.
//
// The queue is filled with the interpreter lock held, through the iterator
// protocol (so a list that another thread changes meanwhile is read as its
// iterator sees it), and only when the reading loop has used up what it held:
// the iterable is consumed as far as the batches need plus that read-ahead.
// A str or bytes is held by a strong reference and read in place (an ASCII
// str as its bytes, any other str as its units of 1, 2 or 4 bytes); a
// bytearray, which may change, is copied. The references are dropped with the
// lock held, when the queue is filled again or the tokenizer dies.
//
// Nothing read is lost on a bad item: an item that is not text (or a str with
// a lone surrogate while errors are "strict") raises TypeError naming its
// index and type, and an exception of the iterator comes out as it is, each
// once the documents queued before it have been read. The item is skipped
// (it keeps its index); the batch stays open and the next call goes on.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "module/call_lock.hpp"
#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// Where the documents come from, beside the native tokenizer.
class DocsFeed {
public:
  // Documents queued at most at once, and the bytes they may hold (at
  // least one document is always queued).
  static constexpr std::size_t QUEUE_DOCUMENTS = 1024;
  static constexpr std::uint64_t QUEUE_BYTES = std::uint64_t{4} << 20;

  // Opens `t` over `docs`: an Arrow column when it has the interface, else
  // an iterable. TypeError for a single str, bytes or bytearray, and for
  // what is not iterable.
  void open(FromDocsTokenizer &t, pybind11::handle docs);

  // Fills the used-up queue of `t` from the iterable (with the interpreter
  // lock and the tokenizer's call lock held): first raises what the last
  // filling met after the documents it queued.
  void refill(FromDocsTokenizer &t);

  // Items taken from the iterable so far (bad ones included).
  std::uint64_t items_taken() const noexcept { return next_index_; }

private:
  // Puts `item` (a new reference, taken over) into `r`; false with an
  // exception set when it is not a document.
  bool take(PyObject *item, std::uint64_t index, DecodeErrors errors,
            DocRecord &r, std::uint64_t &bytes);

  pybind11::object iterator_;
  pybind11::object
      pending_; // an exception met after queued documents, raised next
  std::uint64_t next_index_ = 0;
};

// The native tokenizer of FDTokenizer with its feed.
struct DocsTokenizer : FromDocsTokenizer {
  DocsFeed feed;
};

// Documents are always there to count (none at all is no error).
inline void require_input(const FromDocsTokenizer &) noexcept {}

} // namespace tarvelin
