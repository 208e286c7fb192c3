// The fit_zscan function object: its type, signature, docstring, argument binding and
// conversion. The body that runs the fit is in fit_zscan_body.
#pragma once

#include <Python.h>

#include <array>

#include "compat/module_state.hpp"
#include "compat/py_ref.hpp"

namespace plix::py {

// Parameter names in positional order.
inline constexpr std::array<const char*, fit_zscan_parameter_count> fit_zscan_parameters = {
    "x_data",      "y_data",     "populations",  "t_slices", "z_slices",     "sample_width",
    "tau",         "wavelength", "w0",           "M2",       "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts",  "num_datasets", "is_sa",    "n_starts"};

inline constexpr const char* fit_zscan_docstring =
    "\n"
    "    Fit z-scan data with multi-start parallel optimization.\n"
    "    \n"
    "    Parameters:\n"
    "        fit_indices: 0-indexed array of spec_pars indices to fit (e.g., [0, 2, 5] for pars 0, "
    "2, 5).\n"
    "                     Valid range: 0-7 (will be converted to 1-indexed Fortran indices).\n"
    "        is_sa: Whether sample is saturable absorber (SA) vs reverse saturable absorber "
    "(RSA).\n"
    "               SA centers around max of y_data, RSA centers around min of y_data.\n"
    "               Default False (RSA).\n"
    "        n_starts: Number of starting points (default=3)\n"
    "                  Starting values: spec_pars[fit_indices] * [0.7, 1.0, 1.3, ...]\n"
    "    \n"
    "    Returns:\n"
    "        residuals, error, spec_pars (best result)\n"
    "    ";

// A code object that carries the seventeen parameter names, for signature introspection.
Ref make_signature_code(const ModuleState& state);

// Readies the type of the function object; false with an error set on failure.
bool ready_fit_zscan_type(ModuleState& state);

// Makes the fit_zscan function object with the module dictionary as its globals and the
// defaults (False, 3). Needs the constant strings and a readied type.
Ref make_fit_zscan_function(const ModuleState& state, PyObject* globals);

}  // namespace plix::py
