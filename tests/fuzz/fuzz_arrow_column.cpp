// libFuzzer target for the Arrow column reader.
//
// Each input describes one or two arrays (given alone, or by a stream that may
// fail before the first or the second): a format, the offset and length, the
// null count, which buffers are null, a few structural faults (buffer and
// child counts, a dictionary, huge or negative lengths), and the values of
// every buffer, all cut from the input. The buffers are allocated at exactly
// the sizes the interface lets a reader count on: the validity bitmap, the
// offsets or views for offset + length values, the data buffer up to the
// largest offset, each views' data buffer as large as its listed size or
// larger. So the values lie freely about where documents are, but never about
// what a reader may assume, and under ASan any read beyond that is a finding.
//
// Checked on every input:
// - every structure handed over is released exactly once, whatever the result;
// - a refused array, or a stream that fails after giving some arrays, leaves
//   the column empty, with a message (and the stream's code);
// - an accepted one gives exactly its documents: empty for nulls, otherwise
//   the bytes its offsets or views name, each lying inside a buffer it was
//   given; their sizes add up to bytes(), and random access agrees.
//
// Build and run: `make fuzz-arrow` (FUZZ_SECONDS sets the duration); with
// ARROW_FUZZ_VERBOSE set, each input's outcome is printed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "arrow/string_column.hpp"

using namespace tarvelin;

namespace {

[[noreturn]] void fail(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "invariant broken: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond)) fail(#cond __VA_OPT__(, ) __VA_ARGS__);                                       \
    } while (0)

// The input, read front to back; zeros once it runs out.
struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() { return n ? (--n, *p++) : 0; }
    template <class T>
    T raw() {
        T v{};
        auto* out = reinterpret_cast<std::uint8_t*>(&v);
        for (std::size_t i = 0; i < sizeof v; ++i) out[i] = byte();
        return v;
    }
};

// A buffer of exactly `size` bytes of its own, so that ASan sees its end.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    explicit Buffer(std::size_t n) : bytes(new std::uint8_t[n == 0 ? 1 : n]()), size(n) {}
    bool holds(const std::uint8_t* p, std::size_t n) const {
        return p >= bytes.get() && n <= size &&
               p - bytes.get() <= static_cast<std::ptrdiff_t>(size - n);
    }
};

constexpr const char* FORMATS[] = {"u", "z", "U", "Z", "vu", "vz", "l", "uu"};

struct Built {
    int releases = 0;
    ValueLayout layout = ValueLayout::offsets32;
    std::vector<std::unique_ptr<Buffer>> owned;
    std::unique_ptr<const void*[]> pointers;
    ArrowArray child{}, dict{};
    ArrowArray* child_list[1] = {&child};
    std::int64_t offset = 0, length = 0;
    bool must_fail = false;            // a fault in the structures that every reader must refuse
    std::vector<std::int64_t> offsets; // offsets layouts: the offsets of offset..offset+length
    const std::uint8_t* validity = nullptr;
    const std::uint8_t* data = nullptr; // offsets layouts
    std::size_t data_size = 0;
    std::vector<const Buffer*> variadic; // views
    const std::uint8_t* views = nullptr;
    ArrowArray array{};

    Buffer& buffer(std::size_t n) {
        owned.push_back(std::make_unique<Buffer>(n));
        return *owned.back();
    }
    bool valid(std::int64_t i) const {
        const std::uint64_t bit = static_cast<std::uint64_t>(offset + i);
        return validity == nullptr || ((validity[bit >> 3] >> (bit & 7)) & 1);
    }
};

void count_release(ArrowArray* a) {
    ++*static_cast<int*>(a->private_data);
    a->release = nullptr;
}

// Builds an array from the input; false when its data would be too large to
// allocate (nothing is handed over then).
bool build(Input& in, ValueLayout layout, Built& b) {
    b.layout = layout;
    const std::uint8_t shape = in.byte(), nulls = in.byte(), faults = in.byte();
    b.offset = shape & 7;
    b.length = (shape >> 3) & 31;
    const std::int64_t slots = b.offset + b.length;
    const bool views = layout == ValueLayout::views;
    const int n_variadic = views ? in.byte() % 4 : 0;
    std::int64_t n_buffers = views ? 3 + n_variadic : 3;
    // A wrong count, often. (Views read their sizes from the last buffer, so
    // a count above theirs would make them read a data buffer as the sizes:
    // a lie about what the sizes buffer holds, which no reader can detect.)
    if ((faults & 0x0F) == 1) n_buffers = in.byte() % (views ? 3 : 6);
    b.must_fail =
        n_buffers != (views ? 3 + n_variadic : 3) || ((faults & 0x0F) >= 2 && (faults & 0x0F) <= 7);

    // Validity: none, or bits from the input.
    if (nulls & 1) {
        Buffer& v = b.buffer(static_cast<std::size_t>((slots + 7) / 8));
        for (std::size_t i = 0; i < v.size; ++i) v.bytes[i] = in.byte();
        b.validity = v.bytes.get();
    }
    std::int64_t null_count = 0;
    for (std::int64_t i = 0; i < b.length; ++i) null_count += !b.valid(i);
    static constexpr std::int64_t shifts[] = {0, 0, 1, -1};
    if ((nulls >> 1) & 1) null_count = -1;
    else if ((nulls >> 2) & 1) null_count += shifts[(nulls >> 3) & 3] * (1 + (nulls >> 5));
    if (null_count < -1 || null_count > b.length || (b.validity == nullptr && null_count > 0))
        b.must_fail = true;

    Buffer* values = nullptr;
    std::vector<const void*> rest; // buffers after the values
    if (!views) {
        // Offsets: a start, then steps that are sometimes negative, or raw values.
        const bool wide = layout == ValueLayout::offsets64, raw = (faults >> 4) & 1;
        const std::size_t width = wide ? 8 : 4;
        values = &b.buffer(static_cast<std::size_t>(slots + 1) * width);
        std::int64_t at = static_cast<std::int8_t>(in.byte()) + 8, most = 0;
        for (std::int64_t i = 0; i <= slots; ++i) {
            if (raw) at = wide ? in.raw<std::int64_t>() : in.raw<std::int32_t>();
            else if (i > 0) {
                const std::uint8_t step = in.byte();
                at += (step & 0xC0) == 0xC0 ? -(step & 0x3F) : (step & 0x3F);
            }
            if (!wide) at = static_cast<std::int32_t>(at);
            if (i >= b.offset) b.offsets.push_back(at);
            if (i >= b.offset && at > most) most = at;
            const auto narrow = static_cast<std::int32_t>(at);
            std::memcpy(values->bytes.get() + i * width,
                        wide ? static_cast<const void*>(&at) : &narrow, width);
        }
        if (most > (1 << 16)) return false;
        Buffer& data = b.buffer(static_cast<std::size_t>(most));
        for (std::size_t i = 0; i < data.size; ++i) data.bytes[i] = in.byte();
        b.data = (faults >> 5) & 1 ? nullptr : data.bytes.get();
        b.data_size = data.size;
        rest.push_back(b.data);
    } else {
        // Data buffers with their sizes listed, sometimes smaller than they
        // are; then views, built from a few bytes each or taken raw.
        Buffer& sizes = b.buffer(static_cast<std::size_t>(n_variadic) * 8);
        for (int k = 0; k < n_variadic; ++k) {
            Buffer& d = b.buffer(in.byte());
            for (std::size_t i = 0; i < d.size; ++i) d.bytes[i] = in.byte();
            const std::uint8_t lie = in.byte();
            const std::int64_t listed =
                static_cast<std::int64_t>(d.size) - (lie >= 0xF0 ? lie & 0x0F : 0);
            std::memcpy(sizes.bytes.get() + k * 8, &listed, 8);
            b.variadic.push_back(&d);
            rest.push_back(lie == 0xEF ? nullptr : d.bytes.get());
        }
        rest.push_back((faults >> 5) & 1 ? nullptr : sizes.bytes.get());
        values = &b.buffer(static_cast<std::size_t>(slots) * ARROW_VIEW_BYTES);
        const bool raw = (faults >> 4) & 1;
        for (std::int64_t i = 0; i < slots; ++i) {
            std::uint8_t* view = values->bytes.get() + i * ARROW_VIEW_BYTES;
            if (raw) {
                for (std::size_t j = 0; j < ARROW_VIEW_BYTES; ++j) view[j] = in.byte();
                continue;
            }
            const std::uint8_t s = in.byte(), k = in.byte(), o = in.byte(), how = in.byte();
            const std::int32_t size = s >= 0xF8 ? -(s & 7) : s % 40;
            const std::int32_t buffer = static_cast<std::int32_t>(k % (n_variadic + 2)) - 1;
            const std::int32_t at = static_cast<std::int32_t>(o) - 4;
            std::memcpy(view, &size, 4);
            if (size <= ARROW_VIEW_INLINE) {
                for (int j = 0; j < size; ++j) view[4 + j] = in.byte();
                continue;
            }
            std::memcpy(view + 8, &buffer, 4);
            std::memcpy(view + 12, &at, 4);
            const bool fits = buffer >= 0 && buffer < n_variadic && at >= 0 &&
                              at + 4 <= static_cast<std::int64_t>(b.variadic[buffer]->size);
            if (fits && !(how & 1)) std::memcpy(view + 4, b.variadic[buffer]->bytes.get() + at, 4);
            else std::memcpy(view + 4, &how, 1);
        }
        b.views = values->bytes.get() + b.offset * ARROW_VIEW_BYTES;
    }

    // The list of buffers, as long as n_buffers says and no longer.
    std::vector<const void*> all = {b.validity, (faults >> 6) & 1 ? nullptr : values->bytes.get()};
    all.insert(all.end(), rest.begin(), rest.end());
    b.pointers.reset(new const void*[n_buffers == 0 ? 1 : n_buffers]());
    for (std::int64_t i = 0; i < n_buffers && i < static_cast<std::int64_t>(all.size()); ++i)
        b.pointers[i] = all[i];

    b.array = {b.length,         null_count, b.offset, n_buffers,     0,
               b.pointers.get(), nullptr,    nullptr,  count_release, &b.releases};
    switch (faults & 0x0F) {
    case 2: b.array.n_children = 1, b.array.children = b.child_list; break;
    case 3: b.array.dictionary = &b.dict; break;
    case 4: b.array.length = -1 - (shape & 3); break;
    case 5: b.array.offset = -1 - (shape & 3); break;
    case 6: b.array.length = INT64_MAX - (shape & 3); break;
    case 7: b.array.buffers = nullptr; break;
    }
    return true;
}

// Document i of an accepted array, as its own buffers say it is.
std::span<const std::uint8_t> expected(const Built& b, std::int64_t i) {
    if (!b.valid(i)) return {};
    if (b.layout != ValueLayout::views) {
        const std::int64_t start = b.offsets[i], end = b.offsets[i + 1];
        CHECK(start >= 0 && end >= start && static_cast<std::uint64_t>(end) <= b.data_size, start,
              end);
        CHECK(b.data != nullptr || end == start, start, end);
        return {b.data + start, static_cast<std::size_t>(end - start)};
    }
    const std::uint8_t* view = b.views + i * ARROW_VIEW_BYTES;
    const auto size = load_at<std::int32_t>(view, 0);
    CHECK(size >= 0, size);
    if (size <= ARROW_VIEW_INLINE) return {view + 4, static_cast<std::size_t>(size)};
    const auto k = load_at<std::int32_t>(view, 2), at = load_at<std::int32_t>(view, 3);
    CHECK(k >= 0 && k < static_cast<std::int32_t>(b.variadic.size()), k);
    const Buffer& d = *b.variadic[k];
    CHECK(at >= 0 && d.holds(d.bytes.get() + at, static_cast<std::size_t>(size)), at, size);
    return {d.bytes.get() + at, static_cast<std::size_t>(size)};
}

// Every document of the column, against what its arrays hold.
void check_documents(const StringColumn& column,
                     const std::vector<std::unique_ptr<Built>>& arrays) {
    DocumentCursor cursor(column);
    std::uint64_t bytes = 0, index = 0;
    unsigned sum = 0;
    for (const auto& b : arrays) {
        for (std::int64_t i = 0; i < b->length; ++i, ++index) {
            std::span<const std::uint8_t> doc;
            CHECK(cursor.next(doc), static_cast<long long>(index));
            const auto want = expected(*b, i);
            CHECK(doc.size() == want.size() && (doc.empty() || doc.data() == want.data()),
                  static_cast<long long>(index), static_cast<long long>(doc.size()));
            const auto again = column.document(index);
            CHECK(again.data() == doc.data() && again.size() == doc.size());
            for (std::uint8_t c : doc) sum += c; // every byte is read, under ASan
            bytes += doc.size();
        }
    }
    std::span<const std::uint8_t> extra;
    CHECK(!cursor.next(extra));
    CHECK(column.size() == index && column.bytes() == bytes, static_cast<long long>(bytes));
    (void)sum;
}

struct Stream {
    std::vector<std::unique_ptr<Built>>* arrays;
    const char* format;
    int fail_at; // the get_next call that fails, or -1
    std::size_t next = 0;
    int releases = 0, schema_releases = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    const std::uint8_t head = in.byte();
    const char* format = FORMATS[head & 7];
    const ValueLayout layout = format[0] == 'U' || format[0] == 'Z' ? ValueLayout::offsets64
                               : format[0] == 'v'                   ? ValueLayout::views
                                                                    : ValueLayout::offsets32;
    const bool as_stream = (head >> 3) & 1;
    const int count = as_stream ? 1 + ((head >> 4) & 1) : 1;
    const int fail_at = as_stream && ((head >> 5) & 1) ? (head >> 6) & 1 : -1;
    std::vector<std::unique_ptr<Built>> arrays;
    for (int k = 0; k < count; ++k) {
        arrays.push_back(std::make_unique<Built>());
        if (!build(in, layout, *arrays.back())) return 0;
    }

    int schema_releases = 0;
    ArrowSchema schema{};
    schema.format = format;
    schema.private_data = &schema_releases;
    schema.release = [](ArrowSchema* s) {
        ++*static_cast<int*>(s->private_data);
        s->release = nullptr;
    };

    ColumnStatus status;
    {
        StringColumn column;
        if (!as_stream) {
            status = column.add_array(&schema, &arrays[0]->array);
            CHECK(schema.release == nullptr && arrays[0]->array.release == nullptr);
        } else {
            Stream state{&arrays, format, fail_at};
            ArrowArrayStream stream{};
            stream.get_schema = [](ArrowArrayStream* s, ArrowSchema* out) {
                auto& st = *static_cast<Stream*>(s->private_data);
                *out = ArrowSchema{};
                out->format = st.format;
                out->private_data = &st.schema_releases;
                out->release = [](ArrowSchema* self) {
                    ++*static_cast<int*>(self->private_data);
                    self->release = nullptr;
                };
                return 0;
            };
            stream.get_next = [](ArrowArrayStream* s, ArrowArray* out) {
                auto& st = *static_cast<Stream*>(s->private_data);
                if (static_cast<int>(st.next) == st.fail_at) return 5;
                *out = ArrowArray{};
                if (st.next < st.arrays->size()) {
                    *out = (*st.arrays)[st.next]->array;
                    (*st.arrays)[st.next]->array.release = nullptr;
                }
                ++st.next;
                return 0;
            };
            stream.get_last_error = [](ArrowArrayStream*) -> const char* { return nullptr; };
            stream.release = [](ArrowArrayStream* s) {
                ++static_cast<Stream*>(s->private_data)->releases;
                s->release = nullptr;
            };
            stream.private_data = &state;
            status = column.add_stream(&stream);
            CHECK(stream.release == nullptr && state.releases == 1 && state.schema_releases == 1);
            schema_releases = 1; // the stream's schema stood for it
        }
        static const bool verbose = std::getenv("ARROW_FUZZ_VERBOSE") != nullptr;
        if (verbose)
            std::fprintf(stderr, "format '%s', %zu array(s): status %d %s; %llu documents\n",
                         format, arrays.size(), static_cast<int>(status), column.error(),
                         static_cast<unsigned long long>(column.size()));
        bool must_fail = (head & 7) >= 6 || fail_at >= 0; // not strings, or a failing stream
        for (const auto& b : arrays) must_fail |= b->must_fail;
        CHECK(status != ColumnStatus::ok || !must_fail, static_cast<int>(status));
        CHECK((status == ColumnStatus::stream_error) == (column.stream_code() != 0));
        if (status == ColumnStatus::ok) {
            CHECK(column.error()[0] == '\0');
            check_documents(column, arrays);
        } else {
            CHECK(status == ColumnStatus::invalid_array ||
                      status == ColumnStatus::unsupported_type ||
                      (status == ColumnStatus::stream_error && column.stream_code() == 5),
                  static_cast<int>(status));
            CHECK(column.error()[0] != '\0' && column.size() == 0 && column.chunk_count() == 0);
        }
    }
    CHECK(schema_releases == 1, schema_releases);
    // Each array given out was released once, after the column let it go.
    for (const auto& b : arrays)
        CHECK(b->releases == (b->array.release == nullptr ? 1 : 0), b->releases);
    return 0;
}
