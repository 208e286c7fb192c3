// How long work is bounded: the threads it may use and a way to stop it.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace plix::model {

// Thrown out of work that was asked to stop.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// A stop request shared by the workers of one computation. Any worker reads the flag; the
// thread that made the Cancellation (the caller, worker 0 of every fork-join) also runs the
// poll, at most once per poll_interval: the poll may take the interpreter lock to look for
// Ctrl-C or a cancel event. request_stop may be called from any thread.
class Cancellation {
  public:
    using Poll = bool (*)(void* context);
    static constexpr std::chrono::milliseconds poll_interval{50};

    // The first check polls: a request made before the work began stops it at once.
    Cancellation(Poll poll = nullptr, void* context = nullptr)
        : poll_(poll),
          context_(context),
          owner_(std::this_thread::get_id()),
          last_poll_(std::chrono::steady_clock::now() - poll_interval) {}
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }

    // Whether to stop; on the owning thread the poll runs when poll_interval has passed.
    bool check() {
        if (stopped()) return true;
        if (poll_ == nullptr || std::this_thread::get_id() != owner_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < poll_interval) return false;
        last_poll_ = now;
        if (poll_(context_)) request_stop();
        return stopped();
    }

  private:
    std::atomic<bool> stop_{false};
    Poll poll_;
    void* context_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point last_poll_;
};

// The threads a computation may use and its cancellation (none: it runs to the end).
struct RunControl {
    unsigned threads = 1;
    Cancellation* cancellation = nullptr;

    bool stop_requested() const { return cancellation != nullptr && cancellation->stopped(); }

    // Called between pieces of work (a column, a time step): throws Interrupted when the work
    // is to stop.
    void checkpoint() const {
        if (cancellation != nullptr && cancellation->check()) throw Interrupted{};
    }
};

}  // namespace plix::model
