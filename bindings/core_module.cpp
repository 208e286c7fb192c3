// The compiled part of the Python package plix.
#include <nanobind/nanobind.h>

#include "bindings/registration.hpp"
#include "model/physical_constants.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of plix: the Z-scan models and the fit engine (use the plix package).";
    // Models, schemes and kinds held by module globals (a user's or plix's own) are still
    // alive when the interpreter shuts down; that is not a leak, so nanobind is not to say so.
    nanobind::set_leak_warnings(false);
    plix::bindings::register_setup(m);
    plix::bindings::register_model(m);
    plix::bindings::register_fit(m);
    // The constants the package's unit conversions use, from the one place that defines them.
    nanobind::dict constants;
    constants["speed_of_light"] = plix::constants::speed_of_light;
    constants["planck"] = plix::constants::planck;
    constants["vacuum_permittivity"] = plix::constants::vacuum_permittivity;
    constants["avogadro"] = plix::constants::avogadro;
    m.attr("physical_constants") = constants;
}
