// The body of fit_zscan: everything after argument binding and conversion.
#pragma once

#include <Python.h>

#include <cstdint>

#include "compat/buffer_view.hpp"

namespace plix::py {

// The converted arguments, in parameter order. Array views may be empty only if the
// entry has already rejected None; the body sees acquired views only.
struct FitArguments {
    const BufferView& x_data;
    const BufferView& y_data;
    const BufferView& populations;
    std::int32_t t_slices;
    std::int32_t z_slices;
    double sample_width;
    double tau;
    double wavelength;
    double w0;
    double M2;
    const BufferView& pulse_energy;
    const BufferView& spec_pars;
    const BufferView& fit_indices;
    std::int32_t num_x_pts;
    std::int32_t num_datasets;
    int is_sa;
    std::int32_t n_starts;
};

// Runs the fit; returns a new reference to (residuals, error, spec_pars), or nullptr with
// a Python exception set.
PyObject* fit_zscan_body(const FitArguments& args);

}  // namespace plix::py
