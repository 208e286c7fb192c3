// The parts of the extension plix._core; core_module.cpp calls each once at import.
#pragma once

#include <nanobind/nanobind.h>

namespace plix::bindings {

void register_setup(nanobind::module_& m);  // setup_binding.cpp: Setup, LevelScheme
void register_model(nanobind::module_& m);  // model_binding.cpp: kinds, models, simulate
void register_fit(nanobind::module_& m);    // fit_binding.cpp: the fit problem and outcome

}  // namespace plix::bindings
