// Ref: an owning reference to a Python object, released exactly once.
#pragma once

#include <Python.h>

#include <utility>

namespace plix::py {

class Ref {
  public:
    Ref() = default;
    // Takes over a new reference (or nullptr).
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    // Adds a reference to a borrowed one (or nullptr).
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    ~Ref() { Py_XDECREF(obj_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A new reference for the caller; this one stays.
    PyObject* new_reference() const noexcept {
        Py_XINCREF(obj_);
        return obj_;
    }
    void reset() noexcept { Py_CLEAR(obj_); }

  private:
    PyObject* obj_ = nullptr;
};

// Holds a pending exception aside (fetched on construction) and puts it back on
// restore(); an exception still held at destruction is dropped.
class PendingError {
  public:
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    void restore() noexcept {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
    }

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace plix::py
