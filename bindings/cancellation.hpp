// Ctrl-C and cancel requests for work that runs without the interpreter lock.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "bindings/python_error.hpp"
#include "model/run_control.hpp"

namespace plix::bindings {

// Made with the lock held, on the thread that then runs the work. While the work runs, its
// calling thread polls at most every model::Cancellation::poll_interval: on the main thread
// it looks for Ctrl-C (running the Python signal handlers), and it calls `cancel` when one is
// given (a Python callable that raises to stop the work, plix.Cancelled for instance). What
// they raise stops the work and is raised again by raise_stop.
class PythonCancellation {
  public:
    explicit PythonCancellation(nanobind::object cancel);
    PythonCancellation(const PythonCancellation&) = delete;
    PythonCancellation& operator=(const PythonCancellation&) = delete;

    model::Cancellation& token() { return cancellation_; }

    // With the lock held, after the work threw model::Interrupted: raises the Python exception
    // that stopped it (KeyboardInterrupt if none was kept).
    [[noreturn]] void raise_stop();

  private:
    static bool poll(void* self);

    bool main_thread_;
    nanobind::object cancel_;
    std::optional<PythonCallbackError> raised_;
    model::Cancellation cancellation_;
};

}  // namespace plix::bindings
