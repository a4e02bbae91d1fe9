// Arrow string columns: every layout read in place, slices, nulls, chunks,
// each kind of invalid array refused before anything is read, and every
// structure handed over released exactly once whatever the outcome.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "arrow/string_column.hpp"

using namespace tarvelin;

namespace {

using Doc = std::optional<std::string>; // nullopt: a null value
const Doc NUL = std::nullopt;

void count_schema_release(ArrowSchema* s) {
    ++*static_cast<int*>(s->private_data);
    s->release = nullptr;
}
void count_array_release(ArrowArray* a) {
    ++*static_cast<int*>(a->private_data);
    a->release = nullptr;
}

ArrowSchema schema_of(const char* format, int& releases) {
    ArrowSchema s{};
    s.format = format;
    s.release = count_schema_release;
    s.private_data = &releases;
    return s;
}

template <class T>
void put(std::vector<std::uint8_t>& out, T v) {
    const auto at = out.size();
    out.resize(at + sizeof v);
    std::memcpy(out.data() + at, &v, sizeof v);
}

// An array built by hand from documents. Null values cover bytes of their own
// ("<null>", or a view of negative size), which a reader must not give out.
struct Parts {
    int releases = 0;
    std::vector<std::uint8_t> validity, values, sizes;
    std::vector<std::string> data; // the data buffer, or the views' data buffers
    std::vector<const void*> buffers;
    ArrowArray array{};

    Parts(const Parts&) = delete; // the array points into it

    // "u"/"z" (wide: "U"/"Z") layouts.
    Parts(const std::vector<Doc>& docs, bool wide) {
        data.emplace_back();
        auto offset = [&] {
            wide ? put<std::int64_t>(values, data[0].size())
                 : put<std::int32_t>(values, static_cast<std::int32_t>(data[0].size()));
        };
        offset();
        for (const Doc& d : docs) {
            data[0] += d.value_or("<null>");
            offset();
        }
        finish(docs, {data[0].data()});
    }

    // "vu"/"vz" layouts: long values spread over `n` data buffers, after a
    // few bytes of padding each, so that offsets are not 0.
    Parts(const std::vector<Doc>& docs, int n) : data(n, "pad") {
        int k = 0;
        for (const Doc& d : docs) {
            const std::string s = d.value_or("");
            const std::size_t at = values.size();
            put<std::int32_t>(values, d ? static_cast<std::int32_t>(s.size()) : -1);
            if (s.size() <= 12) {
                values.resize(at + 16, 0);
                std::memcpy(values.data() + at + 4, s.data(), s.size());
                continue;
            }
            for (std::size_t i = 0; i < 4; ++i) values.push_back(static_cast<std::uint8_t>(s[i]));
            put<std::int32_t>(values, k);
            put<std::int32_t>(values, static_cast<std::int32_t>(data[k].size()));
            data[k] += s;
            k = (k + 1) % n;
        }
        std::vector<const void*> variadic;
        for (const std::string& b : data) {
            variadic.push_back(b.data());
            put<std::int64_t>(sizes, static_cast<std::int64_t>(b.size()));
        }
        variadic.push_back(sizes.data());
        finish(docs, variadic);
    }

    void finish(const std::vector<Doc>& docs, const std::vector<const void*>& rest) {
        for (std::size_t i = 0; i < docs.size(); ++i) {
            if (validity.size() <= i / 8) validity.push_back(0);
            if (docs[i]) validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        }
        std::int64_t nulls = 0;
        for (const Doc& d : docs) nulls += !d;
        buffers = {nulls ? validity.data() : nullptr, values.data()};
        buffers.insert(buffers.end(), rest.begin(), rest.end());
        array = {static_cast<std::int64_t>(docs.size()),
                 nulls,
                 0,
                 static_cast<std::int64_t>(buffers.size()),
                 0,
                 buffers.data(),
                 nullptr,
                 nullptr,
                 count_array_release,
                 &releases};
    }

    // Documents [offset, offset + length) of the array; null count unknown.
    void slice(std::int64_t offset, std::int64_t length) {
        array.offset = offset;
        array.length = length;
        array.null_count = -1;
    }
};

std::vector<std::string> read_all(const StringColumn& column) {
    std::vector<std::string> docs;
    DocumentCursor cursor(column);
    for (std::span<const std::uint8_t> d; cursor.next(d);) {
        docs.emplace_back(reinterpret_cast<const char*>(d.data()), d.size());
        const auto again = column.document(cursor.position() - 1);
        EXPECT_TRUE(again.data() == d.data() && again.size() == d.size());
    }
    EXPECT_EQ(cursor.position(), column.size());
    std::uint64_t bytes = 0;
    for (const auto& d : docs) bytes += d.size();
    EXPECT_EQ(column.bytes(), bytes);
    return docs;
}

// Adds the array as one with the given format; both structures must come
// back marked released, the schema released once already.
ColumnStatus add(StringColumn& column, const char* format, Parts& p) {
    int schema_releases = 0;
    ArrowSchema schema = schema_of(format, schema_releases);
    const ColumnStatus status = column.add_array(&schema, &p.array);
    EXPECT_EQ(schema.release, nullptr);
    EXPECT_EQ(p.array.release, nullptr);
    EXPECT_EQ(schema_releases, 1);
    return status;
}

using Strings = std::vector<std::string>;
const std::vector<Doc> MIXED = {
    "hello", "", NUL, "мир и world", "a string longer than twelve", NUL, std::string("\xFF\0x", 3)};

class Layouts : public ::testing::TestWithParam<const char*> {
  protected:
    Parts parts(const std::vector<Doc>& docs) {
        const std::string f = GetParam();
        if (f[0] == 'v') return Parts(docs, 2);
        return Parts(docs, f == "U" || f == "Z");
    }
};

TEST_P(Layouts, WholeAndSlicedArrays) {
    const Strings all = {"hello",
                         "",
                         "",
                         "мир и world",
                         "a string longer than twelve",
                         "",
                         std::string("\xFF\0x", 3)};
    for (std::int64_t offset : {0, 1, 3}) {
        Parts p = parts(MIXED);
        if (offset != 0) p.slice(offset, static_cast<std::int64_t>(MIXED.size()) - offset - 1);
        {
            StringColumn column;
            ASSERT_EQ(add(column, GetParam(), p), ColumnStatus::ok) << column.error();
            EXPECT_STREQ(column.error(), "");
            const Strings want(all.begin() + offset, all.end() - (offset != 0));
            EXPECT_EQ(read_all(column), want) << "offset " << offset;
            EXPECT_EQ(p.releases, 0); // the column reads the buffers in place
        }
        EXPECT_EQ(p.releases, 1);
    }
}

TEST_P(Layouts, MissingBitmapMeansNoNulls) {
    for (std::int64_t null_count : {0, -1}) {
        Parts p = parts({"a", "bc", "a longer value here"});
        p.array.null_count = null_count;
        StringColumn column;
        ASSERT_EQ(add(column, GetParam(), p), ColumnStatus::ok) << column.error();
        EXPECT_EQ(read_all(column), (Strings{"a", "bc", "a longer value here"}));
    }
}

TEST_P(Layouts, EmptyArraysMayHaveNullBuffers) {
    Parts p = parts({});
    for (auto& b : p.buffers) b = nullptr;
    StringColumn column;
    ASSERT_EQ(add(column, GetParam(), p), ColumnStatus::ok) << column.error();
    EXPECT_EQ(column.size(), 0u);
    EXPECT_EQ(column.chunk_count(), 0u);
    EXPECT_EQ(read_all(column), Strings{});
    EXPECT_EQ(p.releases, 1); // nothing of it is kept
}

INSTANTIATE_TEST_SUITE_P(Arrow, Layouts, ::testing::Values("u", "z", "U", "Z", "vu", "vz"));

// A stream over parts handed out one by one; it fails where told to.
struct Stream {
    const char* format = "u";
    std::vector<Parts*> chunks;
    int fail_at = -1; // index of the get_next call that fails; -2: get_schema fails
    std::size_t next = 0;
    int releases = 0, schema_releases = 0;

    static Stream& of(ArrowArrayStream* s) { return *static_cast<Stream*>(s->private_data); }
    ArrowArrayStream make() {
        ArrowArrayStream s{};
        s.get_schema = [](ArrowArrayStream* self, ArrowSchema* out) {
            if (of(self).fail_at == -2) return 22;
            *out = schema_of(of(self).format, of(self).schema_releases);
            return 0;
        };
        s.get_next = [](ArrowArrayStream* self, ArrowArray* out) {
            Stream& me = of(self);
            if (static_cast<int>(me.next) == me.fail_at) return 5;
            *out = ArrowArray{};
            if (me.next < me.chunks.size()) {
                *out = me.chunks[me.next]->array;
                me.chunks[me.next]->array.release = nullptr;
            }
            ++me.next;
            return 0;
        };
        s.get_last_error = [](ArrowArrayStream*) -> const char* { return "disk on fire"; };
        s.release = [](ArrowArrayStream* self) {
            ++of(self).releases;
            self->release = nullptr;
        };
        s.private_data = this;
        return s;
    }
};

TEST(ArrowStream, ChunksReadInOrder) {
    Parts a({"one", NUL}, false), empty({}, false), b({"two", "three"}, false);
    b.slice(1, 1);
    Stream stream;
    stream.chunks = {&a, &empty, &b};
    ArrowArrayStream s = stream.make();
    StringColumn column;
    ASSERT_EQ(column.add_stream(&s), ColumnStatus::ok) << column.error();
    EXPECT_EQ(s.release, nullptr);
    EXPECT_EQ(stream.releases, 1);
    EXPECT_EQ(stream.schema_releases, 1);
    EXPECT_EQ(column.chunk_count(), 2u);
    EXPECT_EQ(read_all(column), (Strings{"one", "", "three"}));
    EXPECT_EQ(empty.releases, 1);
    column.clear();
    EXPECT_EQ(a.releases + b.releases, 2);

    s = stream.make();
    s.get_next = nullptr;
    EXPECT_EQ(column.add_stream(&s), ColumnStatus::invalid_array);
    EXPECT_STREQ(column.error(), "the Arrow stream has no get_schema or get_next");
    EXPECT_EQ(stream.releases, 2);
}

TEST(ArrowStream, FailuresLeaveTheColumnAsItWas) {
    struct Case {
        int fail_at;
        bool bad_chunk;
        ColumnStatus status;
        const char* needle;
    } cases[] = {
        {-2, false, ColumnStatus::stream_error, "give its schema (error 22: disk on fire)"},
        {1, false, ColumnStatus::stream_error, "give chunk 1 (error 5: disk on fire)"},
        {-1, true, ColumnStatus::invalid_array, "(chunk 1): document 1 ends before it starts"},
    };
    for (const Case& c : cases) {
        Parts kept({"kept"}, false), a({"x"}, false), b({"y", "z"}, false);
        if (c.bad_chunk) b.values[4] = 9; // offsets 0, 9, 2
        StringColumn column;
        ASSERT_EQ(add(column, "u", kept), ColumnStatus::ok);
        Stream stream;
        stream.chunks = {&a, &b};
        stream.fail_at = c.fail_at;
        ArrowArrayStream s = stream.make();
        EXPECT_EQ(column.add_stream(&s), c.status);
        EXPECT_EQ(column.stream_code(), c.bad_chunk ? 0 : c.fail_at == -2 ? 22 : 5);
        EXPECT_NE(std::string(column.error()).find(c.needle), std::string::npos) << column.error();
        EXPECT_EQ(stream.releases, 1);
        EXPECT_EQ(read_all(column), Strings{"kept"});
        EXPECT_EQ(a.releases, c.fail_at == -2 ? 0 : 1); // given out, then dropped
        EXPECT_EQ(b.releases, c.bad_chunk ? 1 : 0);
        Parts more({"more"}, false);
        ASSERT_EQ(add(column, "u", more), ColumnStatus::ok);
        EXPECT_STREQ(column.error(), ""); // a success clears the last failure's message
    }
}

// Each invalid array, made by one change to a valid one, is refused with a
// message naming the fault, and released once.
struct Fault {
    const char* name;
    const char* format;
    std::function<void(Parts&)> change;
    const char* needle;
    ColumnStatus status = ColumnStatus::invalid_array;
    int releases = 1; // 0 when it comes already released
};

class Invalid : public ::testing::TestWithParam<Fault> {};

TEST_P(Invalid, RefusedAndReleased) {
    const Fault& f = GetParam();
    const std::vector<Doc> docs = {"short", "a value of more than twelve bytes", NUL, "x"};
    Parts p = f.format[0] == 'v' ? Parts(docs, 2) : Parts(docs, f.format[0] == 'U');
    f.change(p);
    StringColumn column;
    EXPECT_EQ(add(column, f.format, p), f.status);
    EXPECT_NE(std::string(column.error()).find(f.needle), std::string::npos) << column.error();
    EXPECT_EQ(p.releases, f.releases);
    EXPECT_EQ(column.size(), 0u);
}

template <class T>
std::function<void(Parts&)> set_value(std::size_t byte, T v) {
    return [=](Parts& p) { std::memcpy(p.values.data() + byte, &v, sizeof v); };
}
const auto ok_change = [](Parts&) {};

const Fault FAULTS[] = {
    {"Int64", "l", ok_change, "unsupported Arrow format 'l'", ColumnStatus::unsupported_type},
    {"Struct", "+s", ok_change, "vz) (a table: pass one of its columns)",
     ColumnStatus::unsupported_type},
    {"ViewSuffix", "vux", ok_change, "format 'vux'", ColumnStatus::unsupported_type},
    {"LongFormat", "+w:1234567890123456789012345678901234567890", ok_change,
     "'+w:12345678901234567890123456789...'", ColumnStatus::unsupported_type},
    {"Unprintable", "\x01\xFF", ok_change, "format '\?\?'", ColumnStatus::unsupported_type},
    {"Decreasing", "u", set_value<std::int32_t>(8, 2), "document 1 ends before it starts"},
    {"Negative", "U", set_value<std::int64_t>(0, -1), "document 0 starts at a negative offset"},
    {"NullData", "u", [](Parts& p) { p.buffers[2] = nullptr; }, "data buffer is null"},
    {"NullOffsets", "Z", [](Parts& p) { p.buffers[1] = nullptr; }, "offsets buffer is null"},
    {"NullViews", "vu", [](Parts& p) { p.buffers[1] = nullptr; }, "views buffer is null"},
    {"NoBufferList", "u", [](Parts& p) { p.array.buffers = nullptr; }, "list of its buffers"},
    {"TwoBuffers", "z", [](Parts& p) { p.array.n_buffers = 2; }, "2 buffers where its type has 3"},
    {"ViewsTwoBuffers", "vz", [](Parts& p) { p.array.n_buffers = 2; }, "3 or more"},
    {"Children", "u", [](Parts& p) { p.array.n_children = 1; }, "1 children"},
    {"Dictionary", "u", [](Parts& p) { p.array.dictionary = &p.array; }, "a dictionary"},
    {"NegativeLength", "u", [](Parts& p) { p.array.length = -1; }, "negative length -1"},
    {"NegativeOffset", "u", [](Parts& p) { p.array.offset = -2; }, "negative offset -2"},
    {"HugeOffset", "u", [](Parts& p) { p.array.offset = INT64_MAX - 1; }, "beyond any buffer"},
    {"NullCount", "u", [](Parts& p) { p.array.null_count = -2; }, "null count -2 outside -1..4"},
    {"TooManyNulls", "u", [](Parts& p) { p.array.null_count = 5; }, "null count 5"},
    {"NullsNoBitmap", "u", [](Parts& p) { p.buffers[0] = nullptr; }, "no validity bitmap, but 1"},
    {"Released", "u", [](Parts& p) { p.array.release = nullptr; }, "already released",
     ColumnStatus::invalid_array, 0},
    {"ViewSize", "vu", set_value<std::int32_t>(48, -3), "document 3 has a negative size (-3)"},
    {"ViewBuffer", "vu", set_value<std::int32_t>(24, 2), "document 1 is in data buffer 2, of 2"},
    {"ViewBufferNeg", "vz", set_value<std::int32_t>(24, -1), "in data buffer -1"},
    {"ViewRange", "vu", set_value<std::int32_t>(28, 4), "bytes 4..37 of data buffer 0"},
    {"ViewOffsetNeg", "vu", set_value<std::int32_t>(28, -1), "bytes -1..32"},
    {"SizeNeg", "vu", [](Parts& p) { p.sizes[15] = 0x80; }, "data buffer 1 has a negative size"},
    {"VariadicNull", "vu", [](Parts& p) { p.buffers[3] = nullptr; }, "data buffer 1 is null, but"},
    {"NoSizes", "vu", [](Parts& p) { p.buffers[4] = nullptr; }, "sizes of its 2 data buffers"},
};

INSTANTIATE_TEST_SUITE_P(Arrow, Invalid, ::testing::ValuesIn(FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ArrowSchemaChecks, RefusedAndReleased) {
    int releases = 0, dict_releases = 0;
    ArrowSchema dict = schema_of("u", dict_releases);
    ArrowSchema indices = schema_of("i", releases);
    indices.dictionary = &dict;
    ArrowSchema with_children = schema_of("u", releases);
    with_children.n_children = 1;
    struct Case {
        ArrowSchema* schema;
        ColumnStatus status;
        const char* needle;
    } cases[] = {
        {&indices, ColumnStatus::unsupported_type,
         "format 'i' is dictionary-encoded (values of format 'u')"},
        {&with_children, ColumnStatus::invalid_array, "format 'u' has 1 children"},
    };
    for (const Case& c : cases) {
        Parts p({"x"}, false);
        StringColumn column;
        EXPECT_EQ(column.add_array(c.schema, &p.array), c.status);
        EXPECT_NE(std::string(column.error()).find(c.needle), std::string::npos) << column.error();
        EXPECT_EQ(p.releases, 1);
        EXPECT_EQ(c.schema->release, nullptr);
    }
    EXPECT_EQ(releases, 2); // the dictionary belongs to its schema's release
}

} // namespace
