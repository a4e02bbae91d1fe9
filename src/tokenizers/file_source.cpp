#include "tokenizers/file_source.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin {

bool FileSource::open(const char* path, std::size_t size) noexcept {
    release();
    closed = false;
    fed = false;
    open_error = 0;
    std::free(path_copy);
    // fopen needs a terminated copy, which is also kept to name the file in
    // errors; paths are short, so this is cheap.
    path_copy = static_cast<char*>(std::malloc(size + 1));
    if (path_copy == nullptr) return false;
    if (size != 0) std::memcpy(path_copy, path, size);
    path_copy[size] = '\0';
    path_size = size;
    if (std::memchr(path_copy, '\0', size) != nullptr) {
        open_error = EINVAL;
        return true;
    }
    file = std::fopen(path_copy, "r");
    if (file == nullptr) {
        open_error = errno;
        return true;
    }
    struct stat st;
    if (::fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(file); // a directory holds no text to read
        file = nullptr;
        open_error = EISDIR;
        return true;
    }
    // A fresh open stands at 0; a pipe, FIFO or terminal has no position
    // (lseek fails with ESPIPE) and is read with read().
    const off_t at = ::lseek(fileno(file), 0, SEEK_CUR);
    seekable = at >= 0;
    offset = seekable ? static_cast<std::uint64_t>(at) : 0;
    return true;
}

void FileSource::open_fed() noexcept {
    release();
    closed = false;
    open_error = 0;
    eof = false;
    fed = true;
    fed_bytes = nullptr;
    seekable = false;
}

void FileSource::release() noexcept {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    pos = len = 0;
}

FileSource::~FileSource() {
    release();
    std::free(path_copy);
}

// One system call: pread at the source's own position where the file can
// seek, read otherwise. A file that said it could seek but refuses pread
// (ESPIPE) is read on from the shared offset, where it then stands.
std::ptrdiff_t FileSource::read_block() noexcept {
    const int fd = fileno(file);
    if (seekable) {
        const ssize_t got = ::pread(fd, ahead, sizeof ahead, static_cast<off_t>(offset));
        if (got > 0) offset += static_cast<std::uint64_t>(got);
        if (got >= 0 || errno != ESPIPE) return got;
        seekable = false;
    }
    return ::read(fd, ahead, sizeof ahead);
}

// One read of whatever is available, up to a block: a regular file gives a
// whole block, while a pipe or terminal gives what has been written so far,
// so a batch never waits for bytes it does not need.
void FileSource::refill() noexcept {
    pos = 0;
    len = 0;
    if (file == nullptr) {
        eof = true;
        return;
    }
    const std::ptrdiff_t got = read_block();
    if (got > 0) {
        len = static_cast<std::size_t>(got);
    } else if (got == 0) {
        eof = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A descriptor in non-blocking mode: wait until it has bytes (or a
        // signal comes), then let the caller read again.
        pollfd waiting{fileno(file), POLLIN, 0};
        ::poll(&waiting, 1, -1);
    } else if (errno != EINTR) { // interrupted: the caller reads again later
        error = errno;
        error_pending = true;
        eof = true;
    }
}

std::uint64_t FileSource::bytes_left() const noexcept {
    struct stat st;
    if (file == nullptr || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    return size > consumed ? size - consumed : 0;
}

} // namespace tarvelin
