// The parts of the extension plix._core; core_module.cpp calls each once at import.
#pragma once

#include <nanobind/nanobind.h>

namespace plix::bindings {

void register_model(nanobind::module_& m);  // model_binding.cpp
void register_fit(nanobind::module_& m);    // fit_binding.cpp

}  // namespace plix::bindings
