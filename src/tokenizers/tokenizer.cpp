// The reading loop compiled once for each byte source, in the core library,
// so that every user of the tokenizers shares one optimised copy.
#include "tokenizers/tokenizer.hpp"

#include "tokenizers/docs_source.hpp"
#include "tokenizers/file_source.hpp"
#include "tokenizers/reading_loop.hpp"
#include "tokenizers/text_source.hpp"

namespace tarvelin {

template <ByteSource Source>
ReadResult Tokenizer<Source>::read_some(std::uint64_t budget, TokenCounter* counter) noexcept {
    // A new batch replaces one that count_some could not finish counting
    // (get_batch called after its MemoryError): that one is not counted on.
    if (!mode.batch_open) uncounted = false;
    return read_slice(source, assembler, utf8_char, batch, mode, drain_steps, budget, counter);
}

template class Tokenizer<TextSource>;
template class Tokenizer<FileSource>;
template class Tokenizer<DocsSource>;

} // namespace tarvelin
