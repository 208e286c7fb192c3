// A Python exception carried through C++ code that runs without the interpreter lock (the
// fit engine), and raised again once the lock is held.
#pragma once

#include <Python.h>

#include <exception>
#include <memory>

namespace plix::bindings {

// Holds the exception that was being raised; the references are released with the lock.
class PythonCallbackError : public std::exception {
  public:
    // Takes the current Python error; call with the lock held and an error set.
    PythonCallbackError();

    // Sets the held exception as the current Python error; call with the lock held.
    void restore() const;

    const char* what() const noexcept override { return "a Python callback raised"; }

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace plix::bindings
