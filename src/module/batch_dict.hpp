// Conversion of a finished batch into the dictionary handed to Python.
#pragma once

#include <pybind11/pybind11.h>

#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// An empty dict for an empty batch; otherwise {"text": str, "types": array},
// "docs" (each token's document index, a uint64 array of its own) for a batch
// of documents, and "offsets" (the same) while the batch keeps offsets.
// "text" is a new str of the batch's characters; a batch whose bytes are not
// well-formed UTF-8 raises UnicodeDecodeError instead, with the batch attached
// as its attribute `batch`. "types" is a writable uint64 array (an ndarray
// subclass) over the batch's types block, without a copy: the array holds the
// block (see TypesBlock), so the batch's later batches never write into it and
// it lives as long as the array, whatever becomes of the tokenizer.
pybind11::dict batch_to_dict(const BatchBuffer& batch);

} // namespace tarvelin
