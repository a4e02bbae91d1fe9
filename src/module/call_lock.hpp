// One call at a time on a tokenizer.
//
// Every method of a tokenizer holds its CallLock from start to end, including
// the building of a batch dictionary. A call from another thread waits for
// the lock without the interpreter lock (which it gives up while it waits, and
// takes back every few milliseconds to run pending signal handlers), so the
// running call can always take the interpreter lock again and finish. A call
// from the thread that already holds the lock (a signal handler, an audit
// hook, a finaliser run while the dictionary is built) cannot wait for itself:
// it raises RuntimeError and leaves the running call undisturbed.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>

namespace tarvelin {

class CallLock {
  public:
    // Called with the interpreter lock held; returns with it held.
    void acquire() {
        const unsigned long me = PyThread_get_thread_ident();
        if (!mutex.try_lock()) {
            if (holder.load(std::memory_order_relaxed) == me)
                throw std::runtime_error(
                    "this tokenizer is already running a call on this thread (a re-entrant call "
                    "from a signal handler, hook or finaliser)");
            wait_for_lock();
        }
        holder.store(me, std::memory_order_relaxed);
    }

    void release() noexcept {
        holder.store(0, std::memory_order_relaxed);
        mutex.unlock();
    }

  private:
    void wait_for_lock() {
        using namespace std::chrono_literals;
        for (;;) {
            bool taken;
            {
                pybind11::gil_scoped_release unlocked;
                taken = mutex.try_lock_for(20ms);
            }
            if (taken) return;
            if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        }
    }

    std::timed_mutex mutex;
    // The thread that holds `mutex`, 0 when nobody does. Only the holder sets
    // it to its own id, so a thread reads its own id here only while it holds
    // the lock.
    std::atomic<unsigned long> holder{0};
};

// Holds a tokenizer's CallLock for the lifetime of the guard.
class CallGuard {
  public:
    explicit CallGuard(CallLock& lock) : lock(lock) { lock.acquire(); }
    ~CallGuard() { lock.release(); }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

  private:
    CallLock& lock;
};

} // namespace tarvelin
