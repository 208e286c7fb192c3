// From the Python objects of plix (Setup, Model, parameter arrays) to the structs of the C++
// model, with the checks that the model leaves to its callers. Every failure is a Python
// ValueError or TypeError whose message starts with the name of the offending argument.
#pragma once

#include <nanobind/nanobind.h>

#include <span>

#include "model/curve_model.hpp"

namespace plix::bindings {

// A plix.Setup (or any object with its attributes): positive finite lengths and beam
// quality, five non-negative finite populations.
model::Setup setup_from_python(nanobind::handle setup);

// A plix.Model: its `kind` ("seed" or "physical") and that preset's fields.
model::ModelSpec model_from_python(nanobind::handle model);

// The eight parameters in spec_pars order: cross-sections finite and >= 0, lifetimes > 0
// (infinity switches a channel off).
void check_parameters(const model::ParameterVector& params);

// Finite positions, at least five where the model's normalisation takes the ends.
void check_positions(std::span<const double> positions_mm, const model::ModelSpec& model);

// A positive finite pulse energy in J.
void check_energy(double energy, const char* name);

// At least one thread.
unsigned check_threads(int threads);

}  // namespace plix::bindings
