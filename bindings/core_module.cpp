// The compiled part of the Python package plix.
#include <nanobind/nanobind.h>

#include "bindings/registration.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of plix: the Z-scan models and the fit engine (use the plix package).";
    plix::bindings::register_setup(m);
    plix::bindings::register_model(m);
    plix::bindings::register_fit(m);
}
