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
    // energy_J is a float, or an array with one energy per position.
    PythonModel(nanobind::object function, std::vector<model::ParameterSpec> specs);
    ~PythonModel() override;
    PythonModel(const PythonModel&) = delete;
    PythonModel& operator=(const PythonModel&) = delete;

    const std::vector<model::ParameterSpec>& parameters() const override { return specs_; }

    // Raises (as PythonCallbackError) what the function raises, and a ValueError when it
    // returns anything but one real number per position.
    void curve(const model::CurveRequest& request, std::span<double> out,
               const model::RunControl& run, model::CurveReport& report) const override;

  private:
    PyObject* function_;  // a strong reference, released with the lock held
    std::vector<model::ParameterSpec> specs_;
};

}  // namespace plix::bindings
