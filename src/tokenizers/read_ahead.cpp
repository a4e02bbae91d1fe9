#include "tokenizers/read_ahead.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <unistd.h>

namespace tarvelin {

bool ReadAhead::start(int fd) noexcept {
    stop();
    blocks_ = static_cast<std::uint8_t*>(std::malloc(2 * BLOCK));
    if (blocks_ == nullptr) return false;
    fd_ = fd;
    state_.store(idle, std::memory_order_relaxed);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before); // the thread inherits the mask
    pthread_attr_t attr;
    int failed = pthread_attr_init(&attr);
    if (failed == 0) {
        pthread_attr_setstacksize(&attr, STACK); // it only calls pread
        failed = pthread_create(&thread_, &attr, &ReadAhead::run, this);
        pthread_attr_destroy(&attr);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != 0) {
        std::free(blocks_);
        blocks_ = nullptr;
        return false;
    }
    owner_ = ::getpid();
    return true;
}

void ReadAhead::stop() noexcept {
    if (blocks_ == nullptr) return;
    state_.store(stopping, std::memory_order_release);
    state_.notify_all();
    // A forked child has no thread to join; its parent's goes on there.
    if (owner_ == ::getpid()) pthread_join(thread_, nullptr);
    std::free(blocks_);
    blocks_ = nullptr;
}

void* ReadAhead::run(void* self) noexcept {
    auto& r = *static_cast<ReadAhead*>(self);
    for (;;) {
        int s = r.state_.load(std::memory_order_acquire);
        while (s == idle || s == done) {
            r.state_.wait(s, std::memory_order_acquire);
            s = r.state_.load(std::memory_order_acquire);
        }
        if (s == stopping) return nullptr;
        const std::ptrdiff_t got = r.read_now(r.asked_, r.blocks_ + r.filling_ * BLOCK);
        r.got_ = got;
        r.errno_ = got < 0 ? errno : 0;
        int expected = requested;
        // stop() may have come meanwhile: then the thread just ends.
        if (!r.state_.compare_exchange_strong(expected, done, std::memory_order_acq_rel))
            return nullptr;
        r.state_.notify_all();
    }
}

std::ptrdiff_t ReadAhead::read_now(std::uint64_t offset, std::uint8_t* into) noexcept {
    std::ptrdiff_t got;
    do
        got = ::pread(fd_, into, BLOCK, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    return got;
}

std::ptrdiff_t ReadAhead::take(std::uint64_t offset, const std::uint8_t*& data) noexcept {
    std::uint8_t* const block = blocks_ + filling_ * BLOCK;
    std::ptrdiff_t got = -2; // not read ahead
    if (owner_ == ::getpid()) {
        int s = state_.load(std::memory_order_acquire);
        while (s == requested) {
            state_.wait(s, std::memory_order_acquire);
            s = state_.load(std::memory_order_acquire);
        }
        // A block read ahead counts when it is the one asked for and holds
        // bytes: at the end, or after a failure, the file is asked again now
        // (it may have grown since).
        if (s == done && asked_ == offset && got_ > 0) got = got_;
        state_.store(idle, std::memory_order_relaxed);
    }
    if (got == -2) got = read_now(offset, block);
    data = block;
    if (got > 0 && owner_ == ::getpid()) {
        filling_ ^= 1;
        asked_ = offset + static_cast<std::uint64_t>(got);
        state_.store(requested, std::memory_order_release);
        state_.notify_all();
    }
    return got;
}

} // namespace tarvelin
