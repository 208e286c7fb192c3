#include "model/analytic_beam.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "model/physical_constants.hpp"

namespace plix::model::analytic {
namespace {

constexpr std::int64_t default_quadrature_nodes = 48;
constexpr std::int64_t fewest_quadrature_nodes = 4;
constexpr std::int64_t most_quadrature_nodes = 1024;

}  // namespace

BeamPoint beam_point(const Setup& setup, double position_mm, double energy) {
    const double x = position_mm * constants::millimetre / setup.rayleigh_range();
    const double waist_area = setup.w0 * setup.w0;
    const double pi = std::numbers::pi;
    return {.x = x,
            .intensity = 2.0 * energy / (pi * std::sqrt(pi) * waist_area * setup.tau),
            .fluence = 2.0 * energy / (pi * waist_area),
            .spread = 1.0 + x * x};
}

double effective_length(double alpha, double length) {
    if (alpha == 0.0) return length;
    return -std::expm1(-alpha * length) / alpha;
}

double wavenumber(const Setup& setup) { return 2.0 * std::numbers::pi / setup.wavelength; }

double photon_energy(const Setup& setup) {
    return constants::planck * constants::speed_of_light / setup.wavelength;
}

double thickness_in_rayleigh_ranges(const Setup& setup) {
    return setup.sample_width / (setup.n0 * setup.rayleigh_range());
}

double largest_energy(const CurveRequest& request) {
    if (request.point_energies.empty()) return request.energy;
    return *std::max_element(request.point_energies.begin(), request.point_energies.end());
}

std::string note_number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

std::optional<std::string> thin_sample_note(const Setup& setup, const std::string& model) {
    const double l = thickness_in_rayleigh_ranges(setup);
    if (l <= thin_sample_limit) return std::nullopt;
    return model + ": the sample is not thin: L/(n0 z0) = " + note_number(l) + " exceeds " +
           note_number(thin_sample_limit) +
           ", beyond which the thin-sample form is off by more than 2 %; use ca_thick for "
           "refraction or the physical model";
}

ParameterSpec coefficient_spec(std::string name, std::string unit, std::string symbol,
                               std::string description) {
    return {.name = std::move(name),
            .unit = std::move(unit),
            .symbol = std::move(symbol),
            .description = std::move(description),
            .lowest = 0.0,
            .fit_min = 0.0,
            .fit_max = std::numeric_limits<double>::infinity()};
}

ParameterSpec signed_spec(std::string name, std::string unit, std::string symbol,
                          std::string description) {
    return {.name = std::move(name),
            .unit = std::move(unit),
            .symbol = std::move(symbol),
            .description = std::move(description),
            .lowest = -std::numeric_limits<double>::infinity(),
            .fit_min = -std::numeric_limits<double>::infinity(),
            .fit_max = std::numeric_limits<double>::infinity()};
}

ParameterSpec absorption_spec(bool required) {
    ParameterSpec spec =
        coefficient_spec("alpha0", "1/m", "\\alpha_0", "linear absorption coefficient");
    if (!required) spec.default_value = 0.0;
    return spec;
}

FieldSpec quadrature_field() {
    return integer_field(
        "nodes", default_quadrature_nodes,
        "Gauss-Legendre nodes on each of the two panels of the integral over the beam and the "
        "pulse; the default 48 keeps its relative error below 1e-10.",
        fewest_quadrature_nodes, most_quadrature_nodes);
}

}  // namespace plix::model::analytic
