#pragma once
// A value initialised at most once to success and then published to every thread.
//
// The set-ups run Python code (imports, calls into NumPy), and Python code can re-enter the
// module on the same thread: a finalizer, a gc callback, a signal handler or a trace hook that
// makes a Tensor. So no lock is held while a value is made. Every caller that finds nothing
// published makes its own copy; the first to finish publishes it and the others discard theirs
// and take the published one. A failed initialisation caches nothing: the next caller tries
// again.

#include <atomic>
#include <utility>
#include <thread>

namespace runtime {

template <class T>
class OncePtr {
  public:
    // init() returns std::expected<T*, E>; its error is passed back unchanged. discard(T*)
    // releases a copy that lost the race. publish(T*) runs just before the value becomes visible,
    // for the winner only; it must not run Python code.
    template <class Init, class Discard, class Publish>
    auto get_or_init(Init&& init, Discard&& discard, Publish&& publish) -> decltype(init()) {
        if (T* ready = value_.load(std::memory_order_acquire)) return ready;
        auto made = init();
        if (!made) return made;
        if (!claimed_.exchange(true, std::memory_order_acq_rel)) {
            publish(*made);
            value_.store(*made, std::memory_order_release);
            return made;
        }
        discard(*made);
        // The winner has published, or is between its claim and its store, running no Python
        // code: at most a short wait.
        T* ready;
        while ((ready = value_.load(std::memory_order_acquire)) == nullptr) std::this_thread::yield();
        return ready;
    }

    template <class Init, class Discard>
    auto get_or_init(Init&& init, Discard&& discard) -> decltype(init()) {
        return get_or_init(std::forward<Init>(init), std::forward<Discard>(discard), [](T*) {});
    }

    // The value if it is ready, else null; never initialises.
    T* peek() const { return value_.load(std::memory_order_acquire); }

  private:
    std::atomic<T*> value_{nullptr};
    std::atomic<bool> claimed_{false};
};

}  // namespace runtime
