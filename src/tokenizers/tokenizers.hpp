// What the binding uses of the core: the tokenizers and their streams,
// their batches, the token kinds, the counter that count_tokens fills, and the
// choice of the vector code's dispatch level. (Text conversion for str
// objects is in text/transcode.hpp.)
#pragma once

#include "counting/token_counter.hpp"
#include "simd/levels.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokenizers/from_docs_tokenizer.hpp"
#include "tokenizers/from_file_tokenizer.hpp"
#include "tokenizers/from_text_tokenizer.hpp"
#include "tokens/token_type.hpp"
