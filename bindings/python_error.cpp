#include "bindings/python_error.hpp"

namespace plix::bindings {

struct PythonCallbackError::State {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;

    ~State() {
        const PyGILState_STATE gil = PyGILState_Ensure();
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyGILState_Release(gil);
    }
};

PythonCallbackError::PythonCallbackError() : state_(std::make_shared<State>()) {
    PyErr_Fetch(&state_->type, &state_->value, &state_->traceback);
}

void PythonCallbackError::restore() const {
    Py_XINCREF(state_->type);
    Py_XINCREF(state_->value);
    Py_XINCREF(state_->traceback);
    PyErr_Restore(state_->type, state_->value, state_->traceback);
}

}  // namespace plix::bindings
