#include "tokenizers/file_source.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace tarvelin {

bool FileSource::open(const char* path, std::size_t size) noexcept {
    if (std::memchr(path, '\0', size) != nullptr) return true;
    // fopen needs a terminated copy; paths are short, so this is cheap.
    char* terminated = static_cast<char*>(std::malloc(size + 1));
    if (terminated == nullptr) return false;
    std::memcpy(terminated, path, size);
    terminated[size] = '\0';
    file = std::fopen(terminated, "r");
    std::free(terminated);
    return true;
}

// One read of whatever is available, up to a block: a regular file gives a
// whole block, while a pipe or terminal gives what has been written so far,
// so a batch never waits for bytes it does not need. A read error counts as
// the end of the file.
void FileSource::refill() noexcept {
    pos = 0;
    len = 0;
    if (file == nullptr) {
        eof = true;
        return;
    }
    ssize_t got;
    do {
        got = ::read(fileno(file), ahead, sizeof ahead);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        len = static_cast<std::size_t>(got);
    else
        eof = true;
}

} // namespace tarvelin
