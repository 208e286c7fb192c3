#include "compat/input_checks.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "compat/five_level_layout.hpp"

namespace plix::py {
namespace {

constexpr auto kParameterCount = static_cast<std::int64_t>(compat::parameter_count);
constexpr auto kFirstLifetime = static_cast<Py_ssize_t>(compat::lifetime_21_index);
constexpr std::int32_t kMinPositions = 5;  // the model's baseline window
constexpr auto kMinPopulations = static_cast<Py_ssize_t>(compat::level_count);
// lmdif1 counts residuals in an int.
constexpr std::int64_t kMaxResiduals = std::numeric_limits<int>::max();

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
bool check_length(const char* name, const AlignedDoubles& values, std::int64_t expected,
                  const std::string& what) {
    const auto size = static_cast<std::int64_t>(values.size());
    if (size == expected) return true;
    return fail(std::string(name) + " must hold " + (what.empty() ? "" : what + " = ") +
                std::to_string(expected) + " values, got " + std::to_string(size));
}

bool check_sizes(const FitArguments& a, const CallInputs& in) {
    if (a.num_x_pts < kMinPositions)
        return fail("num_x_pts must be at least " + std::to_string(kMinPositions) + ", got " +
                    std::to_string(a.num_x_pts));
    if (a.num_datasets < 1)
        return fail("num_datasets must be at least 1, got " + std::to_string(a.num_datasets));
    const std::int64_t n_points = std::int64_t{a.num_x_pts} * a.num_datasets;
    if (n_points > kMaxResiduals)
        return fail("num_x_pts * num_datasets = " + std::to_string(n_points) +
                    " exceeds the largest number of residuals, " + std::to_string(kMaxResiduals));
    if (a.t_slices < 2)
        return fail("t_slices must be at least 2, got " + std::to_string(a.t_slices));
    if (a.z_slices != 0 && a.z_slices < 2)
        return fail("z_slices must be 0 or at least 2, got " + std::to_string(a.z_slices));
    if (!check_length("x_data", in.x_data, n_points, "num_x_pts * num_datasets") ||
        !check_length("y_data", in.y_data, n_points, "num_x_pts * num_datasets") ||
        !check_length("pulse_energy", in.pulse_energy, a.num_datasets, "num_datasets") ||
        !check_length("spec_pars", in.spec_pars, kParameterCount, ""))
        return false;
    if (static_cast<Py_ssize_t>(in.populations.size()) < kMinPopulations)
        return fail("populations must hold at least " + std::to_string(kMinPopulations) +
                    " values, got " + std::to_string(in.populations.size()));
    return true;
}

bool is_fitted(const CallInputs& in, Py_ssize_t p) {
    for (const std::int32_t index : in.fit_indices)
        if (index == p) return true;
    return false;
}

// An unfitted lifetime may be +inf: that decay channel is switched off.
bool allowed_infinity(const CallInputs& in, Py_ssize_t p, double v) {
    return v > 0 && p >= kFirstLifetime && !is_fitted(in, p);
}

bool check_finite(const char* name, const AlignedDoubles& values, const CallInputs* lifetimes) {
    const std::span<const double> data = values.values();
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (std::isfinite(data[i])) continue;
        if (lifetimes != nullptr && std::isinf(data[i]) &&
            allowed_infinity(*lifetimes, static_cast<Py_ssize_t>(i), data[i]))
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

bool check_fit_inputs(const FitArguments& a, const CallInputs& in) {
    if (!check_sizes(a, in)) return false;
    if (!check_finite("x_data", in.x_data, nullptr) ||
        !check_finite("y_data", in.y_data, nullptr) ||
        !check_finite("populations", in.populations, nullptr) ||
        !check_finite("pulse_energy", in.pulse_energy, nullptr) ||
        !check_finite("spec_pars", in.spec_pars, &in))
        return false;
    if (!check_positive("sample_width", a.sample_width) || !check_positive("tau", a.tau) ||
        !check_positive("wavelength", a.wavelength) || !check_positive("w0", a.w0) ||
        !check_positive("M2", a.M2))
        return false;
    const std::span<const double> energy = in.pulse_energy.values();
    for (std::size_t d = 0; d < energy.size(); ++d) {
        if (energy[d] <= 0)
            return fail("pulse_energy must hold positive values, but pulse_energy[" +
                        std::to_string(d) + "] is " + text(energy[d]));
    }
    return true;
}

}  // namespace plix::py
