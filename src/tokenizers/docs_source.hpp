// Byte source over many documents, read one after the other. Each document
// is a text of its own: the reading loop ends it as it ends an input
// (draining the assembler) and starts the next one afresh, within the same
// batch.
//
// Documents arrive in one of two ways:
// - a queue of records that the owner fills (a binding, with whatever lock
//   its objects need) and this source reads without touching the owners: a
//   document is UTF-8 bytes read in place, code points stored as units of 1,
//   2 or 4 bytes (transcoded a window at a time, like TextSource's units), or
//   a private copy that the source frees. When the queue is used up and the
//   owner has not said that no more documents come, the reading loop returns
//   ReadResult::needs_documents; the owner then recycles the queue (releasing
//   each record's owner handle) and fills it again.
// - a StringColumn, read in place from start to end with no owner involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "arrow/string_column.hpp"

namespace tarvelin {

// One document of the queue.
struct DocRecord {
  const void *data = nullptr; // UTF-8 bytes, or units of unit_size bytes
  std::uint64_t size = 0;     // bytes, or units
  std::uint64_t index = 0;    // its index in the input
  void *owner =
      nullptr; // what keeps `data` valid; released by the queue's owner
  std::uint8_t unit_size =
      0;              // 0: UTF-8 bytes; 1, 2 or 4: code points (no surrogates)
  bool owned = false; // `data` is a private copy (malloc), freed by the source
};

// What opening the next document gave.
enum class DocStep : std::uint8_t {
  opened,          // a document is open (it may be empty)
  needs_documents, // the queue is used up; the owner must fill it
  ended,           // no document is left
};

class DocsSource {
public:
  // Units transcoded per window (their UTF-8 takes at most 4 bytes each).
  static constexpr std::size_t WINDOW_UNITS = 4 * 1024;

  DocsSource() = default;
  DocsSource(const DocsSource &) = delete;
  DocsSource &operator=(const DocsSource &) = delete;
  ~DocsSource();

  // Queue mode with room for `capacity` records; `release` drops a
  // record's owner handle (never called by the reading loop: only by
  // recycle() and the destructor). False when memory cannot be had.
  bool open_queue(std::size_t capacity,
                  void (*release)(void *owner) noexcept) noexcept;
  // Column mode: the documents of `column`, which the source keeps.
  void open_column(std::unique_ptr<StringColumn> column) noexcept;

  // --- the queue's owner ---
  // Whether every queued document has been opened and read to its end.
  bool queue_used_up() const noexcept { return next_ == filled_ && !open_; }
  // Releases the owner of every record (and frees the private copies) and
  // empties the queue; only once it is used up (or nothing reads any more).
  void recycle() noexcept;
  // Room for one more record: nullptr when the queue is full. The record
  // counts once push() is called.
  DocRecord *slot() noexcept {
    return filled_ < capacity_ ? &records_[filled_] : nullptr;
  }
  void push() noexcept { ++filled_; }
  std::size_t queued() const noexcept { return filled_ - next_; }
  std::size_t capacity() const noexcept { return capacity_; }
  // No documents come after those queued.
  void end_input() noexcept { input_ended_ = true; }

  // --- the reading loop ---
  std::span<const std::uint8_t> window() noexcept {
    if (unit_size_ == 0)
      return {data_ + read_pos_, static_cast<std::size_t>(size_ - read_pos_)};
    if (window_pos_ == window_size_ && unit_pos_ < size_)
      refill();
    return {window_ + window_pos_,
            static_cast<std::size_t>(window_size_ - window_pos_)};
  }
  void consume(std::size_t n) noexcept {
    if (unit_size_ == 0)
      read_pos_ += n;
    else
      window_pos_ += n;
  }
  static constexpr bool windows_are_final = false;
  // Whether the window reaches the end of the open document.
  bool window_reaches_end() const noexcept {
    return unit_size_ == 0 || unit_pos_ == size_;
  }
  // No document is open and none is left.
  bool at_end() const noexcept {
    return !open_ && input_ended_ && next_ == filled_;
  }

  // A document is open (read to its end or not).
  bool document_open() const noexcept { return open_; }
  // Its index in the input.
  std::uint64_t document_index() const noexcept { return index_; }
  // Leaves the open document, read to its end.
  void close_document() noexcept;
  // Opens the next document.
  DocStep next_document() noexcept;

  // Documents opened so far.
  std::uint64_t documents_read() const noexcept { return opened_; }
  // Bytes read so far, of all documents (of the UTF-8 form, for units).
  std::uint64_t position() const noexcept {
    return bytes_before_ +
           (unit_size_ == 0 ? read_pos_ : windows_before_ + window_pos_);
  }
  bool column_mode() const noexcept { return column_ != nullptr; }

private:
  void refill() noexcept;
  void open_bytes(const std::uint8_t *data, std::uint64_t size) noexcept;

  // The open document.
  bool open_ = false;
  std::uint64_t index_ = 0;
  const std::uint8_t *data_ = nullptr; // bytes mode
  const void *units_ = nullptr;        // units mode
  std::uint64_t size_ = 0;             // bytes or units
  std::uint64_t read_pos_ = 0;         // bytes mode: next byte
  unsigned unit_size_ = 0;
  std::uint64_t unit_pos_ = 0; // units transcoded so far
  std::uint8_t *window_ =
      nullptr; // WINDOW_UNITS * 4 + 1 bytes, owned, made on first use
  std::uint64_t window_size_ = 0; // bytes of the current window
  std::uint64_t window_pos_ = 0;  // of them, the next one to read
  std::uint64_t windows_before_ =
      0;                           // bytes of the document's windows before it
  std::uint64_t bytes_before_ = 0; // bytes of the documents before it
  std::uint64_t opened_ = 0;

  // Queue mode.
  DocRecord *records_ = nullptr;
  std::size_t capacity_ = 0, filled_ = 0, next_ = 0;
  void (*release_)(void *owner) noexcept = nullptr;
  bool input_ended_ = false;

  // Column mode.
  std::unique_ptr<StringColumn> column_;
  std::optional<DocumentCursor> cursor_;
};

} // namespace tarvelin
