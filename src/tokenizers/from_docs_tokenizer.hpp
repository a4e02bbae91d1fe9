// Tokenizer over many documents, and its stream. Each document is tokenized
// as a text of its own; a batch may hold the tokens of many documents, and
// records which document each token comes from (BatchBuffer::docs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "arrow/string_column.hpp"
#include "tokenizers/docs_source.hpp"
#include "tokenizers/tokenizer.hpp"

namespace tarvelin {

class FromDocsTokenizer : public Tokenizer<DocsSource> {
public:
  FromDocsTokenizer() = default;

  // Documents come through a queue of `capacity` records that the caller
  // fills whenever the reading loop returns ReadResult::needs_documents
  // (see DocsSource); `release` drops a record's owner handle. False when
  // memory cannot be had (the object must then not be used).
  bool open_queue(std::size_t capacity,
                  void (*release)(void *owner) noexcept) noexcept {
    batch.docs.active = true;
    return source.open_queue(capacity, release) && batch.allocate();
  }

  // Reads the documents of `column` in place, with no caller involved
  // (the column is kept, and released with the tokenizer). False when the
  // column is missing or memory cannot be had.
  bool open_column(std::unique_ptr<StringColumn> column) noexcept {
    if (column == nullptr)
      return false;
    batch.docs.active = true;
    source.open_column(std::move(column));
    return batch.allocate();
  }

  // The queue, for whoever fills it.
  DocsSource &documents() noexcept { return source; }
  const DocsSource &documents() const noexcept { return source; }

  // Documents begun so far.
  std::uint64_t documents_read() const noexcept {
    return source.documents_read();
  }
};

// A non-owning handle on a tokenizer, as FromTextStream.
struct FromDocsStream {
  FromDocsTokenizer *tokenizer;
};

} // namespace tarvelin
