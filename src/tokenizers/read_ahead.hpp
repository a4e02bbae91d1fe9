// A thread that reads the next block of a regular file while the caller
// scans the current one, so that the copy out of the page cache does not add
// to the scanning time.
//
// Two blocks: the one handed to the caller, which the thread never touches
// until the next take(), and the one being filled. The thread only calls
// pread at the offset the caller asked for; it blocks every signal, so that
// signals reach the caller's threads as before. A forked child has no such
// thread: take() sees the process changed and reads by itself from then on,
// from the same offsets, so each process goes on from where the source stood.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvelin {

class ReadAhead {
  public:
    static constexpr std::size_t BLOCK = std::size_t{256} << 10;
    static constexpr std::size_t STACK = std::size_t{256} << 10; // the thread's stack

    ReadAhead() = default;
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() { stop(); }

    // Starts reading `fd` (which must stay open until stop); false when no
    // memory or thread can be had (the caller then reads by itself).
    bool start(int fd) noexcept;
    // Stops and joins the thread and frees the blocks.
    void stop() noexcept;
    bool running() const noexcept { return blocks_ != nullptr; }

    // The block at `offset`: its bytes in `data`, their count returned (0 at
    // the end, -1 with errno set when the read failed). Asks the thread for
    // the block after it. The bytes stay unchanged until the next take.
    std::ptrdiff_t take(std::uint64_t offset, const std::uint8_t*& data) noexcept;

  private:
    enum State : int { idle, requested, done, stopping };
    static void* run(void* self) noexcept;
    std::ptrdiff_t read_now(std::uint64_t offset, std::uint8_t* into) noexcept;

    std::atomic<int> state_{idle};
    int fd_ = -1;
    std::uint8_t* blocks_ = nullptr; // two blocks of BLOCK bytes
    int filling_ = 0;                // the block the thread reads into
    std::uint64_t asked_ = 0;        // the offset it reads at
    std::ptrdiff_t got_ = 0;         // what its read returned
    int errno_ = 0;                  // its errno when the read failed
    pthread_t thread_{};
    pid_t owner_ = 0; // the process whose thread this is
};

} // namespace tarvelin
