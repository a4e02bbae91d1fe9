// A column of documents read in place from Arrow arrays of strings or binary
// values, handed over through the Arrow C data interface: one array, or the
// arrays of a stream, each kept as a chunk.
//
// Six layouts are read, binary values as the bytes of UTF-8 text: "u" and "z"
// (32-bit offsets into one data buffer), "U" and "Z" (64-bit offsets), "vu"
// and "vz" (16-byte views that hold a value of up to 12 bytes inline, or its
// buffer, offset and first 4 bytes). A null value reads as an empty document.
//
// Nothing in the interface says how large a buffer is, so an array is checked
// against itself before any document is read: the structures' counts, the
// offsets (never negative, never decreasing), and for views each value's
// buffer and range against the buffer sizes the array lists. What passes
// reads only bytes that the array's own promises cover; what fails is
// released and named, with the chunk and document where it went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "arrow/c_data_interface.hpp"

namespace tarvelin {

enum class ColumnStatus : std::uint8_t {
    ok,
    unsupported_type, // the format is not one of the six layouts (or is dictionary-encoded)
    invalid_array,    // the structures contradict themselves, or the values their buffers
    stream_error,     // the stream's get_schema or get_next reported a failure
    no_memory,
};

// How a chunk finds its documents.
enum class ValueLayout : std::uint8_t {
    offsets32, // "u", "z"
    offsets64, // "U", "Z"
    views,     // "vu", "vz"
};

inline constexpr std::size_t ARROW_VIEW_BYTES = 16;
inline constexpr std::int32_t ARROW_VIEW_INLINE = 12; // longest value held in the view itself

// A value of the buffers at index i, which the interface leaves unaligned.
template <class T>
inline T load_at(const std::uint8_t* p, std::uint64_t i) noexcept {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof v);
    return v;
}

// One checked array; document i is the array's value at offset + i.
struct StringChunk {
    ArrowArray array; // owned, released by the column
    ValueLayout layout;
    std::uint64_t length;         // documents
    std::uint64_t first;          // index in the column of document 0
    std::uint64_t bytes;          // of all its documents
    const std::uint8_t* validity; // bitmap, null when every value is valid
    std::uint64_t validity_bit;   // its bit of document 0
    const std::uint8_t* values;   // offsets or views, from document 0's
    const std::uint8_t* data;     // offsets layouts: the data buffer (may be null when empty)
    const void* const* variadic;  // views: their data buffers

    bool is_null(std::uint64_t i) const noexcept {
        if (validity == nullptr) return false;
        const std::uint64_t bit = validity_bit + i;
        return ((validity[bit >> 3] >> (bit & 7)) & 1) == 0;
    }

    std::span<const std::uint8_t> document(std::uint64_t i) const noexcept {
        if (is_null(i)) return {};
        switch (layout) {
        case ValueLayout::offsets32:
            return slice(load_at<std::int32_t>(values, i), load_at<std::int32_t>(values, i + 1));
        case ValueLayout::offsets64:
            return slice(load_at<std::int64_t>(values, i), load_at<std::int64_t>(values, i + 1));
        case ValueLayout::views: break;
        }
        const std::uint8_t* view = values + i * ARROW_VIEW_BYTES;
        const auto size = load_at<std::int32_t>(view, 0);
        if (size <= ARROW_VIEW_INLINE) return {view + 4, static_cast<std::size_t>(size)};
        const auto buffer = load_at<std::int32_t>(view, 2);
        const auto* bytes = static_cast<const std::uint8_t*>(variadic[buffer]);
        return {bytes + load_at<std::int32_t>(view, 3), static_cast<std::size_t>(size)};
    }

  private:
    std::span<const std::uint8_t> slice(std::int64_t start, std::int64_t end) const noexcept {
        return {data + start, static_cast<std::size_t>(end - start)};
    }
};

class StringColumn {
  public:
    StringColumn() = default;
    StringColumn(const StringColumn&) = delete;
    StringColumn& operator=(const StringColumn&) = delete;
    ~StringColumn() { clear(); }

    // Appends one array of the type `schema` describes. Both structures are
    // taken over, whatever the result: on return they are marked released
    // (the array is kept until the column is cleared, the schema released at
    // once). On failure nothing is appended and error() says why.
    ColumnStatus add_array(ArrowSchema* schema, ArrowArray* array) noexcept;

    // Appends every array of the stream, which is taken over the same way
    // and released before this returns. On failure none of its arrays are
    // appended, and error() says why (for stream_error, with the stream's
    // own text).
    ColumnStatus add_stream(ArrowArrayStream* stream) noexcept;

    // Releases every array. The producer's callbacks run in add_array,
    // add_stream, clear and the destructor only (a producer that lives in an
    // interpreter may need its lock held there); reading documents runs none.
    void clear() noexcept;

    std::uint64_t size() const noexcept { return documents_; } // documents
    std::uint64_t bytes() const noexcept { return bytes_; }    // of all documents together
    // Arrays of no documents are not kept as chunks.
    std::size_t chunk_count() const noexcept { return count_; }
    const StringChunk& chunk(std::size_t k) const noexcept { return chunks_[k]; }
    // Document i of the column (i < size()), found among the chunks.
    std::span<const std::uint8_t> document(std::uint64_t i) const noexcept;

    // Why the last add_array or add_stream failed (empty after a success).
    const char* error() const noexcept { return message_; }
    // The code the stream's callback returned when add_stream failed with
    // stream_error (an errno value), else 0.
    int stream_code() const noexcept { return stream_code_; }

  private:
    ColumnStatus take_schema(ArrowSchema* schema, ValueLayout& layout) noexcept;
    ColumnStatus append(ArrowArray& array, ValueLayout layout, std::uint64_t number) noexcept;
    void drop_from(std::size_t keep) noexcept;
    ColumnStatus fail(ColumnStatus status, const char* format, ...) noexcept
        __attribute__((format(printf, 3, 4)));

    StringChunk* chunks_ = nullptr;
    std::size_t count_ = 0, capacity_ = 0;
    std::uint64_t documents_ = 0, bytes_ = 0;
    char message_[512] = {};
    int stream_code_ = 0;
};

// Walks the documents of a column in order, chunk by chunk; the column must
// not change meanwhile.
class DocumentCursor {
  public:
    explicit DocumentCursor(const StringColumn& column) noexcept : column_(&column) {}

    // The next document into `doc`; false once all have been given.
    bool next(std::span<const std::uint8_t>& doc) noexcept {
        while (index_ == length_) {
            if (next_chunk_ == column_->chunk_count()) return false;
            chunk_ = &column_->chunk(next_chunk_++);
            index_ = 0;
            length_ = chunk_->length;
        }
        doc = chunk_->document(index_++);
        ++position_;
        return true;
    }

    std::uint64_t position() const noexcept { return position_; } // documents given so far

  private:
    const StringColumn* column_;
    const StringChunk* chunk_ = nullptr;
    std::size_t next_chunk_ = 0;
    std::uint64_t index_ = 0, length_ = 0, position_ = 0;
};

} // namespace tarvelin
