// A model whose curve is a Python function: plix.Model.from_function. The engine calls it
// like any other model; each call takes the interpreter lock.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "model/curve_model.hpp"

namespace plix::bindings {

class PythonModel final : public model::CurveModel {
  public:
    // function(positions_mm, energy_J, **params) -> transmittance at every position;
    // energy_J is a float, or an array with one energy per position. With `takes_aperture`
    // the function also receives aperture= (the linear transmittance S, 1 for an open
    // aperture) and computes closed-aperture curves; with `takes_setup` it receives setup=
    // (the experiment as plix._core.Setup).
    PythonModel(nanobind::object function, std::vector<model::ParameterSpec> specs,
                bool takes_aperture = false, bool takes_setup = false);
    ~PythonModel() override;
    PythonModel(const PythonModel&) = delete;
    PythonModel& operator=(const PythonModel&) = delete;

    const std::vector<model::ParameterSpec>& parameters() const override { return specs_; }
    bool closed_aperture() const override { return takes_aperture_; }

    // Closed aperture: the baseline crossing between peak and valley; open: the extremum.
    double focus_position(std::span<const double> positions_mm, std::span<const double> measured,
                          double aperture) const override;

    // Raises (as PythonCallbackError) what the function raises, and a ValueError when it
    // returns anything but one real number per position.
    void curve(const model::CurveRequest& request, std::span<double> out,
               const model::RunControl& run, model::CurveReport& report) const override;

  private:
    PyObject* function_;  // a strong reference, released with the lock held
    std::vector<model::ParameterSpec> specs_;
    bool takes_aperture_;
    bool takes_setup_;
};

}  // namespace plix::bindings
