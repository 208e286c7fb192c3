#include "module/input_checks.hpp"

#include <cmath>
#include <string>

namespace plix::py {
namespace {

constexpr int kParameterCount = 8;
constexpr int kFirstLifetime = 3;  // spec_pars[3..7] are lifetimes

bool fail(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// The value as Python's repr writes it (0.0, -1e-09, nan, inf).
std::string text(double v) {
    char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) return "?";
    std::string out(repr);
    PyMem_Free(repr);
    return out;
}

// "x_data must hold num_x_pts * num_datasets = 62 values, got 61"; `what` names the
// expected count, or is empty for a fixed one.
bool check_length(const char* name, const BufferView& view, std::int64_t expected,
                  const std::string& what) {
    if (view.extent(0) == expected) return true;
    return fail(std::string(name) + " must hold " + (what.empty() ? "" : what + " = ") +
                std::to_string(expected) + " values, got " + std::to_string(view.extent(0)));
}

bool check_sizes(const FitArguments& a) {
    if (a.num_x_pts < 5)
        return fail("num_x_pts must be at least 5, got " + std::to_string(a.num_x_pts));
    if (a.num_datasets < 1)
        return fail("num_datasets must be at least 1, got " + std::to_string(a.num_datasets));
    if (a.t_slices < 2)
        return fail("t_slices must be at least 2, got " + std::to_string(a.t_slices));
    if (a.z_slices != 0 && a.z_slices < 2)
        return fail("z_slices must be 0 or at least 2, got " + std::to_string(a.z_slices));
    const std::int64_t n_points = std::int64_t{a.num_x_pts} * a.num_datasets;
    if (!check_length("x_data", a.x_data, n_points, "num_x_pts * num_datasets") ||
        !check_length("y_data", a.y_data, n_points, "num_x_pts * num_datasets") ||
        !check_length("pulse_energy", a.pulse_energy, a.num_datasets, "num_datasets") ||
        !check_length("spec_pars", a.spec_pars, kParameterCount, ""))
        return false;
    if (a.populations.extent(0) < 5)
        return fail("populations must hold at least 5 values, got " +
                    std::to_string(a.populations.extent(0)));
    return true;
}

bool is_fitted(const FitArguments& a, Py_ssize_t p) {
    for (Py_ssize_t j = 0; j < a.fit_indices.extent(0); ++j)
        if (a.fit_indices.ints()[j] == p) return true;
    return false;
}

// An unfitted lifetime may be +inf: that decay channel is switched off.
bool allowed_infinity(const FitArguments& a, Py_ssize_t p, double v) {
    return v > 0 && p >= kFirstLifetime && !is_fitted(a, p);
}

bool check_finite(const char* name, const BufferView& view, const FitArguments* lifetimes) {
    const double* data = view.doubles();
    for (Py_ssize_t i = 0; i < view.extent(0); ++i) {
        if (std::isfinite(data[i])) continue;
        if (lifetimes != nullptr && std::isinf(data[i]) && allowed_infinity(*lifetimes, i, data[i]))
            continue;
        return fail(std::string(name) + " must hold finite values, but " + name + "[" +
                    std::to_string(i) + "] is " + text(data[i]));
    }
    return true;
}

bool check_positive(const char* name, double v) {
    if (std::isfinite(v) && v > 0) return true;
    return fail(std::string(name) + " must be positive and finite, got " + text(v));
}

}  // namespace

bool check_fit_inputs(const FitArguments& a) {
    if (!check_sizes(a)) return false;
    if (!check_finite("x_data", a.x_data, nullptr) || !check_finite("y_data", a.y_data, nullptr) ||
        !check_finite("populations", a.populations, nullptr) ||
        !check_finite("pulse_energy", a.pulse_energy, nullptr) ||
        !check_finite("spec_pars", a.spec_pars, &a))
        return false;
    if (!check_positive("sample_width", a.sample_width) || !check_positive("tau", a.tau) ||
        !check_positive("wavelength", a.wavelength) || !check_positive("w0", a.w0) ||
        !check_positive("M2", a.M2))
        return false;
    const double* energy = a.pulse_energy.doubles();
    for (Py_ssize_t d = 0; d < a.pulse_energy.extent(0); ++d) {
        if (energy[d] <= 0)
            return fail("pulse_energy must hold positive values, but pulse_energy[" +
                        std::to_string(d) + "] is " + text(energy[d]));
    }
    return true;
}

}  // namespace plix::py
