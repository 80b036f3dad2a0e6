#pragma once
// A value initialised at most once to success and then published to every thread.
// Threads that must wait for another thread's initialisation block on a PyMutex, which
// detaches them from the interpreter while they wait, so the wait cannot deadlock.
// A failed initialisation caches nothing: the next caller tries again.

#include <Python.h>

#include <atomic>
#include <expected>

namespace runtime {

template <class T>
class OncePtr {
  public:
    // init() returns std::expected<T*, E>; its error is passed back unchanged.
    template <class Init>
    auto get_or_init(Init&& init) -> decltype(init()) {
        if (T* ready = value_.load(std::memory_order_acquire)) return ready;
        struct Lock {
            PyMutex& mutex;
            explicit Lock(PyMutex& m) : mutex(m) { PyMutex_Lock(&mutex); }
            ~Lock() { PyMutex_Unlock(&mutex); }
        } lock(mutex_);
        if (T* ready = value_.load(std::memory_order_acquire)) return ready;
        auto made = init();
        if (made) value_.store(*made, std::memory_order_release);
        return made;
    }

    // The value if it is ready, else null; never initialises.
    T* peek() const { return value_.load(std::memory_order_acquire); }

  private:
    std::atomic<T*> value_{nullptr};
    PyMutex mutex_{};
};

}  // namespace runtime
