// The dictionary that count_tokens returns, built from a native counter.
#pragma once

#include <pybind11/pybind11.h>

#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// {token text: occurrences} for every text counted, then the counter is
// emptied. A text that is not well-formed UTF-8 (strict decoding only) is left
// out, and once all others are in, the first such decoding error is raised
// with the dictionary attached as its attribute `counts`.
pybind11::dict take_counts(TokenCounter& counter);

} // namespace tarvelin
