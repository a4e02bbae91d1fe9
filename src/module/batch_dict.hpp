// Conversion of a finished batch into the dictionary handed to Python.
#pragma once

#include <pybind11/pybind11.h>

#include "tokenizers/batch_buffer.hpp"

namespace tarvelin {

// An empty dict for an empty batch; otherwise {"text": str, "types": array}.
// "text" is a new str decoded strictly from the batch's bytes. "types" is a
// writable uint64 array over the batch's types storage, without a copy; its
// base is `owner`, the Python object of the tokenizer that owns the storage,
// so the storage lives at least as long as the array.
pybind11::dict batch_to_dict(const BatchBuffer& batch, pybind11::handle owner);

} // namespace tarvelin
