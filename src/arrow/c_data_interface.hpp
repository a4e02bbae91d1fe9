// The Arrow C data interface and C stream interface: the structures through
// which a producer hands columns to a consumer in the same process, with no
// library shared between them. Their layout and the rules of their release
// callbacks are a stable ABI, written out here so that nothing of any Arrow
// implementation is needed.
//
// The guard macros are the ones every copy of these declarations uses, so
// that this header and another copy can be included in one unit.
//
// Ownership: whoever holds a structure whose `release` is not null owns it,
// and must call `release` exactly once when done; the callback frees what the
// producer allocated (children and dictionary included) and sets `release` to
// null, which marks the structure released. A structure is moved by copying
// it bitwise and setting the source's `release` to null.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of a column: a format string (e.g. "u" for UTF-8 strings with
// 32-bit offsets), its children's types, and the value type when the column
// is dictionary-encoded (the format then names the index type).
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

// The data of a column: `length` values starting at `offset` within the
// buffers, whose number and meaning the format fixes. Buffer sizes are not
// given; they follow from the format, the offset and the length.
struct ArrowArray {
    int64_t length;
    int64_t null_count; // -1 when not known
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A sequence of arrays of one type. The callbacks return 0 or an errno value;
// get_next gives a released array (release null) at the end. The text of
// get_last_error, which may be null, is valid until the next call on the
// stream. The arrays outlive the stream: releasing it releases none of them.
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif
