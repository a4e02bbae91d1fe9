// A column of documents given as an Arrow object: anything with the Arrow
// PyCapsule interface (`__arrow_c_stream__` or `__arrow_c_array__`), such as
// pyarrow arrays and chunked arrays, polars Series and pandas columns backed by
// Arrow, of a string or binary type.
//
// The structures are moved out of their capsules (the capsules' destructors
// then find them released and free only their own memory) into a StringColumn,
// which reads the buffers in place: no Python object is made per document, and
// the column's documents can be read without the interpreter lock. The column
// keeps the producer's arrays until it is destroyed, which must happen with the
// interpreter lock held, as their release callbacks may need it.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "arrow/string_column.hpp"

namespace tarvelin {

// nullptr when `obj` has neither capsule method. Otherwise the whole column,
// checked before any of its documents is read; raises TypeError for a type
// other than string, large_string, string_view, binary, large_binary or
// binary_view (naming its Arrow format) or for a method that gives no capsule
// of the right name, ValueError for an array whose offsets or views do not fit
// its buffers (naming the chunk and document), MemoryError, and for a stream
// that fails, the error of its code (MemoryError, ValueError, OSError) with
// the producer's own text. Must be called with the interpreter lock held.
std::unique_ptr<StringColumn> arrow_column_of(pybind11::handle obj);

} // namespace tarvelin
