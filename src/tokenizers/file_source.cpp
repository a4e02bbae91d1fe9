#include "tokenizers/file_source.hpp"

#include <cstdlib>
#include <cstring>

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

void FileSource::refill() noexcept {
    pos = 0;
    len = file == nullptr ? 0 : std::fread(ahead, 1, sizeof ahead, file);
    if (len == 0) eof = true;
}

} // namespace tarvelin
