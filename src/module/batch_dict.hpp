// Conversion of a finished batch into the dictionary handed to Python.
#pragma once

#include <pybind11/pybind11.h>

#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// An empty dict for an empty batch; otherwise {"text": str, "types": array},
// and "offsets" (a uint64 array of its own) while the batch keeps offsets.
// "text" is a new str of the batch's characters; a batch whose bytes are not
// well-formed UTF-8 raises UnicodeDecodeError instead, with the batch attached
// as its attribute `batch`. "types" is a writable uint64 array (an ndarray
// subclass the garbage collector can traverse) over the batch's types storage,
// without a copy; its base is `owner`, the Python object of the tokenizer that
// owns the storage, so the storage lives at least as long as the array.
pybind11::dict batch_to_dict(const BatchBuffer& batch, pybind11::handle owner);

} // namespace tarvelin
