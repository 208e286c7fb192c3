#include "bindings/cancellation.hpp"

namespace nb = nanobind;

namespace plix::bindings {
namespace {

bool on_main_thread() {
    const nb::module_ threading = nb::module_::import_("threading");
    return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

}  // namespace

PythonCancellation::PythonCancellation(nb::object cancel)
    : main_thread_(on_main_thread()),
      cancel_(std::move(cancel)),
      cancellation_(&PythonCancellation::poll, this) {}

bool PythonCancellation::poll(void* self) {
    auto& c = *static_cast<PythonCancellation*>(self);
    if (c.raised_) return true;
    if (!c.main_thread_ && c.cancel_.is_none()) return false;
    const nb::gil_scoped_acquire gil;
    if (c.main_thread_ && PyErr_CheckSignals() != 0) {
        c.raised_.emplace();
        return true;
    }
    if (!c.cancel_.is_none()) {
        try {
            c.cancel_();
        } catch (nb::python_error& e) {
            e.restore();
            c.raised_.emplace();
            return true;
        }
    }
    return false;
}

void PythonCancellation::raise_stop() {
    if (raised_) {
        raised_->restore();
        raised_.reset();
        throw nb::python_error();
    }
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
}

}  // namespace plix::bindings
