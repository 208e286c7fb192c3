// Method tables of the test binding; each ends with a null sentinel.
#pragma once

#include <Python.h>

namespace plix::testing {

const PyMethodDef* integrator_methods();  // integrator_probe.cpp
const PyMethodDef* model_methods();       // model_probe.cpp
const PyMethodDef* engine_methods();      // engine_probe.cpp
const PyMethodDef* exact_methods();       // exact_probe.cpp
const PyMethodDef* physical_methods();    // physical_probe.cpp
const PyMethodDef* analytic_methods();    // analytic_probe.cpp
const PyMethodDef* propagator_methods();  // propagator_probe.cpp

}  // namespace plix::testing
