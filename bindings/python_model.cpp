#include "bindings/python_model.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <memory>
#include <string>

#include "bindings/python_error.hpp"

namespace nb = nanobind;

namespace plix::bindings {
namespace {

using OutputVector = nb::ndarray<nb::numpy, double, nb::ndim<1>>;

// A new NumPy array holding a copy of values.
nb::object array_of(std::span<const double> values) {
    auto buffer = std::make_unique<double[]>(values.size());
    std::copy(values.begin(), values.end(), buffer.get());
    double* data = buffer.release();
    const nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return OutputVector(data, {values.size()}, owner).cast();
}

[[noreturn]] void raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonCallbackError();
}

}  // namespace

PythonModel::PythonModel(nb::object function, std::vector<model::ParameterSpec> specs,
                         bool takes_aperture, bool takes_setup)
    : function_(function.release().ptr()),
      specs_(std::move(specs)),
      takes_aperture_(takes_aperture),
      takes_setup_(takes_setup) {}

double PythonModel::focus_position(std::span<const double> positions_mm,
                                   std::span<const double> measured, double aperture) const {
    return aperture < model::open_aperture ? model::peak_valley_crossing(positions_mm, measured)
                                           : model::extremum_position(positions_mm, measured);
}

PythonModel::~PythonModel() {
    const nb::gil_scoped_acquire gil;
    Py_XDECREF(function_);
}

void PythonModel::curve(const model::CurveRequest& request, std::span<double> out,
                        const model::RunControl& /*run*/, model::CurveReport& /*report*/) const {
    const nb::gil_scoped_acquire gil;
    try {
        nb::dict kwargs;
        for (std::size_t k = 0; k < specs_.size(); ++k)
            kwargs[specs_[k].name.c_str()] = request.params[k];
        if (takes_aperture_) kwargs["aperture"] = request.aperture;
        if (takes_setup_) kwargs["setup"] = nb::cast(request.setup, nb::rv_policy::copy);
        const nb::object energy = request.point_energies.empty()
                                      ? nb::cast(request.energy)
                                      : array_of(request.point_energies);
        const nb::object result =
            nb::borrow<nb::callable>(function_)(array_of(request.positions_mm), energy, **kwargs);
        const nb::object numpy = nb::module_::import_("numpy");
        const nb::object values =
            numpy.attr("asarray")(result, nb::arg("dtype") = numpy.attr("float64"));
        const auto shape = nb::cast<nb::tuple>(values.attr("shape"));
        if (nb::len(shape) != 1 || nb::cast<std::size_t>(shape[0]) != out.size())
            raise_value_error("the model function must return one value per position (" +
                              std::to_string(out.size()) + "), got shape " +
                              nb::cast<std::string>(nb::str(shape)));
        const auto view = nb::cast<nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>>(values);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = view(i);
    } catch (nb::python_error& e) {
        e.restore();
        throw PythonCallbackError();
    } catch (const nb::cast_error&) {
        raise_value_error("the model function must return real numbers");
    }
}

}  // namespace plix::bindings
