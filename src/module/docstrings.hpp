// The docstrings of the module, its classes and their members, as help()
// shows them after each generated signature line. Keep them in step with the
// stub, tarvelinCXX.pyi.
#pragma once

namespace tarvelin::doc {

inline constexpr const char* module = R"(Splits Russian and English text into typed tokens, handed out in batches.

FTTokenizer(text) tokenizes a str or UTF-8 bytes; FFTokenizer(path) a UTF-8
file, read lazily. Each batch is a dict {"text": str, "types": uint64 array}:
the tokens one after another, each followed by U+0000, and each token's kind
as a TokenType value. An exhausted tokenizer gives {}. Token kinds are bit
flags (ENWORD | RUWORD) for set_filter. count_tokens() counts token texts
natively; set_offsets(True) adds each token's character offset.)";

inline constexpr const char* text_tokenizer =
    R"(Tokenizes a text: a str, or UTF-8 bytes as bytes or bytearray.

bytes and a str are read in place (kept alive by the tokenizer; a non-ASCII
str gives exactly the batches of its UTF-8 form); a bytearray is copied. One
call at a time runs on a tokenizer: other threads wait, and a call from inside
a running call (a signal handler, a hook) raises RuntimeError.)";

inline constexpr const char* text_init =
    R"(Opens the text. TypeError for anything but str, bytes and bytearray, and for a
str with a lone surrogate. Calling it again on an initialised tokenizer raises
TypeError: make a new tokenizer instead.)";

inline constexpr const char* file_tokenizer =
    R"(Tokenizes a UTF-8 text file, read lazily as batches need it.

The path is a str (encoded as open() encodes it), bytes, bytearray or any
os.PathLike. A file that cannot be opened, or a directory, is not an error:
is_fopen() is then False and every batch is empty. A read that fails raises
OSError. Usable as a context manager, which closes the file.)";

inline constexpr const char* file_init =
    R"(Opens the file at `fpath`. TypeError for anything that is not a path. Calling
it again on an initialised tokenizer raises TypeError: make a new tokenizer
instead.)";

inline constexpr const char* docs_tokenizer =
    R"(Tokenizes many documents: an iterable of str, bytes or bytearray (a list, a
generator, a pandas Series), or an Arrow string or binary column.

Each document is tokenized as FTTokenizer would tokenize it alone: no token
joins two documents, and offsets count characters within each document. A
batch holds the tokens of many documents, with "docs": a uint64 array giving
each token's document as its 0-based index in the input (empty and skipped
documents count). The iterable is read lazily, a bounded number of documents
ahead, with the interpreter lock held only to take them; a str or bytes is read
in place, a bytearray copied. An item that is not text (or a str with a lone
surrogate, while errors are "strict") raises TypeError naming its index and is
skipped; an exception of the iterable comes out of the call that meets it. Either
way the tokens read before it come out on the next call.

An Arrow column is any object with __arrow_c_stream__ or __arrow_c_array__
(pyarrow arrays and chunked arrays, polars Series, pandas columns backed by
Arrow) of type string, large_string, string_view, binary, large_binary or
binary_view (binary values read as UTF-8 bytes). Its buffers are read in place,
without the interpreter lock and without a Python object per document; a null
value is an empty document. The producer's data is released with the
tokenizer.)";

inline constexpr const char* docs_init =
    R"(Opens the documents. TypeError for one str, bytes or bytearray (use FTTokenizer)
and for what is not iterable. An Arrow column is checked whole first: TypeError
naming its Arrow format for any other type, ValueError naming the chunk and
document when its offsets or views do not fit its buffers (nothing is read
then), and a failing Arrow stream's own error. Calling it again on an
initialised tokenizer raises TypeError: make a new tokenizer instead.)";

inline constexpr const char* is_fopen =
    "Whether the file was opened (it stays True at its end, False after close()).";

inline constexpr const char* set_batch_size =
    R"(The most tokens one batch holds (default 65536), from the next batch on.
MemoryError when storage for that many tokens (about 513 bytes each at most)
cannot be had; the tokenizer is then unchanged.)";

inline constexpr const char* set_filter =
    R"(Keeps only tokens whose kind ANDed with `mask` is non-zero (default: all bits).
OR TokenType values into the mask: set_filter(ENWORD | RUWORD).)";

inline constexpr const char* set_token_min_len =
    "Drops tokens shorter than `length` characters (default 0).";

inline constexpr const char* set_token_max_len =
    "Drops tokens longer than `length` characters (default 512).";

inline constexpr const char* get_batch =
    R"(The next batch: {"text": str, "types": uint64 array} (plus "offsets" after
set_offsets(True)), or {} when nothing is left.

"types" views storage of the tokenizer's that no later batch writes into while
the array lives: a batch can be kept as it is. Reading runs without the
interpreter lock. Raises
UnicodeDecodeError for a batch that is not well-formed UTF-8 in "strict" mode
(the batch is attached as err.batch, and the next call goes on after it),
OSError when the file cannot be read (the tokens before it come in the next
call), and whatever a signal handler raises (the batch stays open and the next
call goes on filling it).)";

inline constexpr const char* stream =
    R"(An iterator over the batches, ending at the first empty one. All streams of a
tokenizer and its get_batch draw from one sequence; a stream keeps its
tokenizer alive.)";

inline constexpr const char* set_errors =
    R"(How bytes that are not well-formed UTF-8 are read, from the next character on:
"strict" (default): they reach the batch as they are, and its decoding raises
UnicodeDecodeError (stray continuation bytes are dropped silently);
"replace": each ill-formed sequence becomes U+FFFD (an UNKNWN token), as
bytes.decode("utf-8", "replace") places it, and no batch raises. ValueError for
any other mode.)";

inline constexpr const char* set_offsets =
    R"(With True, every batch begun afterwards also has "offsets": a uint64 array (an
independent copy) with each token's first character's index in the whole
input, counting every character, filtered tokens included: for a str input,
text[o:o + len(token)] == token. False returns to the two-key dict.)";

inline constexpr const char* count_tokens =
    R"(Reads from where the tokenizer stands to the end of the input and returns
{token text: number of times it occurs} for the tokens the batches would have
held (filter, length bounds and error mode apply). With `max_bytes`, stops at
the first batch boundary after reading that many more bytes; call again for the
rest. Runs natively without the interpreter lock; memory grows with the
distinct tokens only. In "strict" mode a token that is not well-formed UTF-8
raises UnicodeDecodeError at the end, with the other counts as err.counts. When
a signal handler or a read error raises, the counts so far are kept and
returned by the next call. An FFTokenizer whose file could not be opened raises
the OSError of that open (FileNotFoundError, IsADirectoryError, ...) at every
call; a closed one raises ValueError.)";

inline constexpr const char* tokenizer_iter = "Iterates the batches: the same as iter(self.stream).";

inline constexpr const char* close =
    R"(Closes the file: is_fopen() becomes False, every later batch is empty and
count_tokens() raises ValueError. Closing again does nothing.)";

inline constexpr const char* enter = "Returns the tokenizer itself.";

inline constexpr const char* exit = "Closes the file (see close()); exceptions propagate.";

inline constexpr const char* stream_class =
    "Iterator over the batches of one tokenizer, from its `stream` property; has no constructor.";

inline constexpr const char* stream_iter = "Returns the stream itself.";

inline constexpr const char* stream_next =
    "The next batch of the tokenizer, as get_batch gives it; StopIteration at the first empty one.";

} // namespace tarvelin::doc
