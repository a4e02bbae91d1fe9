#include "arrow/string_column.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvelin {

namespace {

// Values beyond this many would not fit in any address space; refusing them
// keeps every index times 16 within the range of a pointer difference.
constexpr std::int64_t MOST_VALUES = std::int64_t{1} << 58;

void release_schema(ArrowSchema* schema) noexcept {
    if (schema->release != nullptr) schema->release(schema);
    schema->release = nullptr;
}

void release_array(ArrowArray* array) noexcept {
    if (array->release != nullptr) array->release(array);
    array->release = nullptr;
}

// A format string made fit to quote: at most 32 printable ASCII characters.
struct QuotedFormat {
    char text[40];
    explicit QuotedFormat(const char* format) noexcept {
        std::size_t n = 0;
        for (; format[n] != '\0' && n < 32; ++n)
            text[n] = format[n] >= 0x20 && format[n] < 0x7F ? format[n] : '?';
        std::strcpy(text + n, format[n] != '\0' ? "..." : ""); // longer: cut, and said so
    }
};

bool read_format(const char* format, ValueLayout& layout) noexcept {
    if (format[0] == 'u' || format[0] == 'z') layout = ValueLayout::offsets32;
    else if (format[0] == 'U' || format[0] == 'Z') layout = ValueLayout::offsets64;
    else if (format[0] == 'v' && (format[1] == 'u' || format[1] == 'z'))
        layout = ValueLayout::views;
    else return false;
    return format[layout == ValueLayout::views ? 2 : 1] == '\0';
}

// Where an array went wrong: the message is prefixed with its chunk number.
struct Complaint {
    char* text;
    std::size_t size;
    std::uint64_t chunk;

    ColumnStatus operator()(const char* format, ...) noexcept
        __attribute__((format(printf, 2, 3))) {
        const int n = std::snprintf(text, size, "invalid Arrow array (chunk %llu): ",
                                    static_cast<unsigned long long>(chunk));
        va_list args;
        va_start(args, format);
        std::vsnprintf(text + n, size - static_cast<std::size_t>(n), format, args);
        va_end(args);
        return ColumnStatus::invalid_array;
    }
};

// Where the offsets of documents 0..length (length + 1 of them) first
// decrease, or length when they never do; all are read, with no branch on
// each, as valid columns are the ones worth reading fast.
template <class Offset>
std::uint64_t first_decrease(const std::uint8_t* values, std::uint64_t length) noexcept {
    bool rising = true;
    Offset prev = load_at<Offset>(values, 0);
    for (std::uint64_t i = 1; i <= length; ++i) {
        const Offset next = load_at<Offset>(values, i);
        rising &= prev <= next;
        prev = next;
    }
    if (rising) return length;
    std::uint64_t i = 0;
    while (load_at<Offset>(values, i) <= load_at<Offset>(values, i + 1)) ++i;
    return i;
}

// Offsets must start at 0 or later and never decrease; the data buffer is
// then as long as the last one says, and may be null only when that is 0.
template <class Offset>
ColumnStatus check_offsets(StringChunk& c, Complaint& bad) noexcept {
    const auto at = [&](std::uint64_t i) {
        return static_cast<long long>(load_at<Offset>(c.values, i));
    };
    if (at(0) < 0) return bad("document 0 starts at a negative offset (%lld)", at(0));
    const std::uint64_t wrong = first_decrease<Offset>(c.values, c.length);
    if (wrong < c.length)
        return bad("document %llu ends before it starts (offsets %lld, %lld)",
                   static_cast<unsigned long long>(wrong), at(wrong), at(wrong + 1));
    if (c.data == nullptr && at(c.length) != 0)
        return bad("the data buffer is null, but the offsets reach %lld", at(c.length));
    // Null values may cover bytes that no document reads; bitmap bytes of
    // eight valid values are passed over whole.
    c.bytes = static_cast<std::uint64_t>(at(c.length) - at(0));
    for (std::uint64_t i = 0; c.validity != nullptr && i < c.length;) {
        const std::uint64_t bit = c.validity_bit + i;
        if ((bit & 7) == 0 && c.length - i >= 8 && c.validity[bit >> 3] == 0xFF) {
            i += 8;
            continue;
        }
        if (c.is_null(i)) c.bytes -= static_cast<std::uint64_t>(at(i + 1) - at(i));
        ++i;
    }
    return ColumnStatus::ok;
}

enum class ViewFault : std::uint8_t { none, size, buffer, range };

// What is wrong with a view, given the count and sizes of the data buffers.
inline ViewFault view_fault(const std::uint8_t* view, std::int64_t buffers,
                            const std::uint8_t* sizes) noexcept {
    const std::int32_t size = load_at<std::int32_t>(view, 0);
    if (size <= ARROW_VIEW_INLINE) return size < 0 ? ViewFault::size : ViewFault::none;
    const std::int32_t buffer = load_at<std::int32_t>(view, 2),
                       offset = load_at<std::int32_t>(view, 3);
    if (buffer < 0 || buffer >= buffers) return ViewFault::buffer;
    const auto limit = load_at<std::int64_t>(sizes, static_cast<std::uint64_t>(buffer));
    return offset < 0 || std::int64_t{offset} + size > limit ? ViewFault::range : ViewFault::none;
}

// Views of more than 12 bytes name one of the data buffers between the views
// and the last buffer, which lists their sizes (as int64); each such view must
// lie within its buffer. Views of null values are never read, so they are not
// looked at. The 4 bytes a view keeps of its value are not compared with the
// value in its buffer: that would read every value once more before any is
// tokenized, and what a document holds is its buffer's bytes either way.
ColumnStatus check_views(StringChunk& c, Complaint& bad) noexcept {
    const ArrowArray& a = c.array;
    const std::int64_t buffers = a.n_buffers - 3;
    c.variadic = a.buffers + 2;
    const auto* sizes = static_cast<const std::uint8_t*>(a.buffers[a.n_buffers - 1]);
    if (buffers > 0 && sizes == nullptr)
        return bad("the sizes of its %lld data buffers are missing",
                   static_cast<long long>(buffers));
    for (std::int64_t k = 0; k < buffers; ++k) {
        const auto size = static_cast<long long>(load_at<std::int64_t>(sizes, k));
        if (size < 0)
            return bad("data buffer %lld has a negative size (%lld)", static_cast<long long>(k),
                       size);
        if (c.variadic[k] == nullptr && size != 0)
            return bad("data buffer %lld is null, but has %lld bytes", static_cast<long long>(k),
                       size);
    }
    // The checks run in a loop of their own, with locals only; the first view
    // that fails them is explained after it.
    const std::uint8_t* const values = c.values;
    std::uint64_t bytes = 0, i = 0;
    ViewFault fault = ViewFault::none;
    for (; i < c.length; ++i) {
        if (c.is_null(i)) continue;
        const std::uint8_t* view = values + i * ARROW_VIEW_BYTES;
        fault = view_fault(view, buffers, sizes);
        if (fault != ViewFault::none) break;
        bytes += static_cast<std::uint32_t>(load_at<std::int32_t>(view, 0));
    }
    c.bytes = bytes;
    if (fault == ViewFault::none) return ColumnStatus::ok;
    const std::uint8_t* view = values + i * ARROW_VIEW_BYTES;
    const auto doc = static_cast<unsigned long long>(i);
    const std::int32_t size = load_at<std::int32_t>(view, 0),
                       buffer = load_at<std::int32_t>(view, 2),
                       offset = load_at<std::int32_t>(view, 3);
    if (fault == ViewFault::size) return bad("document %llu has a negative size (%d)", doc, size);
    if (fault == ViewFault::buffer)
        return bad("document %llu is in data buffer %d, of %lld", doc, buffer,
                   static_cast<long long>(buffers));
    const auto limit = load_at<std::int64_t>(sizes, static_cast<std::uint64_t>(buffer));
    return bad("document %llu, bytes %d..%lld of data buffer %d, lies outside its %lld bytes", doc,
               offset, static_cast<long long>(offset) + size, buffer,
               static_cast<long long>(limit));
}

// The array's structures, then its values, against the promises of its layout.
ColumnStatus check_array(StringChunk& c, Complaint& bad) noexcept {
    const ArrowArray& a = c.array;
    const bool views = c.layout == ValueLayout::views;
    const auto ll = [](std::int64_t v) { return static_cast<long long>(v); };
    if (a.n_children != 0) return bad("%lld children where its type has none", ll(a.n_children));
    if (a.dictionary != nullptr) return bad("a dictionary where its type has none");
    if (views ? a.n_buffers < 3 : a.n_buffers != 3)
        return bad("%lld buffers where its type has %s", ll(a.n_buffers),
                   views ? "3 or more" : "3");
    if (a.buffers == nullptr) return bad("the list of its buffers is null");
    if (a.length < 0) return bad("negative length %lld", ll(a.length));
    if (a.offset < 0) return bad("negative offset %lld", ll(a.offset));
    if (a.length >= MOST_VALUES - a.offset)
        return bad("offset %lld and length %lld beyond any buffer", ll(a.offset), ll(a.length));
    if (a.null_count < -1 || a.null_count > a.length)
        return bad("null count %lld outside -1..%lld", ll(a.null_count), ll(a.length));
    c.length = static_cast<std::uint64_t>(a.length);
    if (c.length == 0) return ColumnStatus::ok; // nothing is read, and buffers may be null
    c.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
    c.validity_bit = static_cast<std::uint64_t>(a.offset);
    if (c.validity == nullptr && a.null_count > 0)
        return bad("no validity bitmap, but %lld nulls", ll(a.null_count));
    const auto* values = static_cast<const std::uint8_t*>(a.buffers[1]);
    if (values == nullptr) return bad("the %s buffer is null", views ? "views" : "offsets");
    const auto offset = static_cast<std::uint64_t>(a.offset);
    switch (c.layout) {
    case ValueLayout::offsets32:
        c.values = values + offset * sizeof(std::int32_t);
        c.data = static_cast<const std::uint8_t*>(a.buffers[2]);
        return check_offsets<std::int32_t>(c, bad);
    case ValueLayout::offsets64:
        c.values = values + offset * sizeof(std::int64_t);
        c.data = static_cast<const std::uint8_t*>(a.buffers[2]);
        return check_offsets<std::int64_t>(c, bad);
    case ValueLayout::views: break;
    }
    c.values = values + offset * ARROW_VIEW_BYTES;
    return check_views(c, bad);
}

} // namespace

ColumnStatus StringColumn::fail(ColumnStatus status, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message_, sizeof message_, format, args);
    va_end(args);
    return status;
}

// Reads the layout from the schema, and releases it.
ColumnStatus StringColumn::take_schema(ArrowSchema* schema, ValueLayout& layout) noexcept {
    if (schema == nullptr || schema->release == nullptr)
        return fail(ColumnStatus::invalid_array, "the Arrow schema is already released");
    ArrowSchema owned = *schema;
    schema->release = nullptr;
    ColumnStatus status = ColumnStatus::ok;
    if (owned.format == nullptr) {
        status = fail(ColumnStatus::invalid_array, "the Arrow schema has no format");
    } else if (owned.dictionary != nullptr) {
        const char* values = owned.dictionary->format;
        status = fail(ColumnStatus::unsupported_type,
                      "Arrow column of format '%s' is dictionary-encoded (values of format '%s'); "
                      "expected a string or binary type (u, U, vu, z, Z, vz)",
                      QuotedFormat(owned.format).text, QuotedFormat(values ? values : "").text);
    } else if (!read_format(owned.format, layout)) {
        status =
            fail(ColumnStatus::unsupported_type,
                 "unsupported Arrow format '%s'; expected a string or binary type "
                 "(u, U, vu, z, Z, vz)%s",
                 QuotedFormat(owned.format).text,
                 std::strcmp(owned.format, "+s") == 0 ? " (a table: pass one of its columns)" : "");
    } else if (owned.n_children != 0) {
        status = fail(ColumnStatus::invalid_array,
                      "the Arrow schema of format '%s' has %lld children where its type has none",
                      QuotedFormat(owned.format).text, static_cast<long long>(owned.n_children));
    }
    release_schema(&owned);
    return status;
}

ColumnStatus StringColumn::add_array(ArrowSchema* schema, ArrowArray* array) noexcept {
    message_[0] = '\0';
    stream_code_ = 0;
    ValueLayout layout{};
    ColumnStatus status = take_schema(schema, layout);
    if (array == nullptr || array->release == nullptr)
        return status != ColumnStatus::ok
                   ? status
                   : fail(ColumnStatus::invalid_array, "the Arrow array is already released");
    ArrowArray owned = *array;
    array->release = nullptr;
    if (status != ColumnStatus::ok) {
        release_array(&owned);
        return status;
    }
    return append(owned, layout, 0);
}

ColumnStatus StringColumn::add_stream(ArrowArrayStream* stream) noexcept {
    message_[0] = '\0';
    stream_code_ = 0;
    if (stream == nullptr || stream->release == nullptr)
        return fail(ColumnStatus::invalid_array, "the Arrow stream is already released");
    ArrowArrayStream owned = *stream;
    stream->release = nullptr;
    if (owned.get_schema == nullptr || owned.get_next == nullptr) {
        owned.release(&owned);
        return fail(ColumnStatus::invalid_array, "the Arrow stream has no get_schema or get_next");
    }
    const std::size_t keep = count_;
    // The stream's own text of its last failure, copied before it is released.
    auto stream_failure = [&](int code, const char* what) {
        stream_code_ = code;
        const char* text = owned.get_last_error != nullptr ? owned.get_last_error(&owned) : nullptr;
        return fail(ColumnStatus::stream_error, "the Arrow stream failed to give %s (error %d: %s)",
                    what, code, text != nullptr ? text : "no message");
    };
    ValueLayout layout{};
    ArrowSchema schema{};
    int code = owned.get_schema(&owned, &schema);
    ColumnStatus status =
        code != 0 ? stream_failure(code, "its schema") : take_schema(&schema, layout);
    for (std::uint64_t number = 0; status == ColumnStatus::ok; ++number) {
        ArrowArray array{};
        code = owned.get_next(&owned, &array);
        char what[32];
        std::snprintf(what, sizeof what, "chunk %llu", static_cast<unsigned long long>(number));
        if (code != 0) status = stream_failure(code, what);
        else if (array.release == nullptr) break; // the end
        else status = append(array, layout, number);
    }
    owned.release(&owned);
    if (status != ColumnStatus::ok) drop_from(keep);
    return status;
}

// Checks the array and keeps it as a chunk, or releases it.
ColumnStatus StringColumn::append(ArrowArray& array, ValueLayout layout,
                                  std::uint64_t number) noexcept {
    StringChunk c{};
    c.array = array;
    c.layout = layout;
    Complaint bad{message_, sizeof message_, number};
    ColumnStatus status = check_array(c, bad);
    if (status == ColumnStatus::ok && c.length != 0 && count_ == capacity_) {
        const std::size_t grown = capacity_ == 0 ? 4 : capacity_ * 2;
        auto* more = static_cast<StringChunk*>(std::realloc(chunks_, grown * sizeof *chunks_));
        if (more == nullptr)
            status = fail(ColumnStatus::no_memory, "no memory for the Arrow chunks");
        else chunks_ = more, capacity_ = grown;
    }
    if (status != ColumnStatus::ok || c.length == 0) {
        release_array(&c.array);
        return status;
    }
    c.first = documents_;
    chunks_[count_++] = c;
    documents_ += c.length;
    bytes_ += c.bytes;
    return ColumnStatus::ok;
}

void StringColumn::drop_from(std::size_t keep) noexcept {
    while (count_ > keep) {
        StringChunk& c = chunks_[--count_];
        documents_ -= c.length;
        bytes_ -= c.bytes;
        release_array(&c.array);
    }
}

void StringColumn::clear() noexcept {
    drop_from(0);
    std::free(chunks_);
    chunks_ = nullptr;
    capacity_ = 0;
}

std::span<const std::uint8_t> StringColumn::document(std::uint64_t i) const noexcept {
    std::size_t lo = 0, hi = count_; // the chunk holds i: chunks_[lo].first <= i < [hi].first
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (chunks_[mid].first <= i) lo = mid;
        else hi = mid;
    }
    return chunks_[lo].document(i - chunks_[lo].first);
}

} // namespace tarvelin
