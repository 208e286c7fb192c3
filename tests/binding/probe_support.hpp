// Conversions shared by the probes of the test binding.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "model/integration_tally.hpp"

namespace plix::testing {

namespace lsoda = plix::lsoda;
namespace model = plix::model;

inline constexpr std::array<const char*, lsoda::status_count> status_names{
    "success",       "excess_work",         "excess_accuracy",
    "illegal_input", "error_test_failures", "convergence_failures",
    "zero_weight",   "non_finite"};
static_assert(static_cast<std::size_t>(lsoda::Status::non_finite) + 1 == status_names.size());

// Doubles borrowed from a C-contiguous buffer of format 'd', or copied from any sequence
// of numbers.
class Doubles {
  public:
    Doubles() = default;
    Doubles(const Doubles&) = delete;
    Doubles& operator=(const Doubles&) = delete;
    ~Doubles() {
        if (has_view_) PyBuffer_Release(&view_);
    }

    // False with a Python exception set when obj is neither.
    bool load(PyObject* obj, const char* name) {
        if (PyObject_CheckBuffer(obj) &&
            PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            has_view_ = true;
            if (view_.format != nullptr && view_.format[0] == 'd' && view_.format[1] == '\0' &&
                view_.itemsize == sizeof(double)) {
                data_ = {static_cast<const double*>(view_.buf),
                         static_cast<std::size_t>(view_.len) / sizeof(double)};
                return true;
            }
            PyBuffer_Release(&view_);
            has_view_ = false;
        }
        PyErr_Clear();
        PyObject* seq = PySequence_Fast(obj, name);
        if (seq == nullptr) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        owned_.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t m = 0; m < n; ++m) {
            owned_[static_cast<std::size_t>(m)] =
                PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, m));
        }
        Py_DECREF(seq);
        if (PyErr_Occurred()) return false;
        data_ = owned_;
        return true;
    }

    std::span<const double> span() const { return data_; }
    std::size_t size() const { return data_.size(); }

  private:
    Py_buffer view_{};
    bool has_view_ = false;
    std::vector<double> owned_;
    std::span<const double> data_;
};

inline PyObject* to_list(std::span<const double> values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t m = 0; m < values.size(); ++m) {
        PyObject* item = PyFloat_FromDouble(values[m]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(m), item);
    }
    return list;
}

inline PyObject* to_dict(const model::IntegrationTally& tally) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (std::size_t s = 0; s < status_names.size(); ++s) {
        PyObject* count = PyLong_FromUnsignedLongLong(tally.by_status[s]);
        if (count == nullptr || PyDict_SetItemString(dict, status_names[s], count) != 0) {
            Py_XDECREF(count);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(count);
    }
    return dict;
}

}  // namespace plix::testing
