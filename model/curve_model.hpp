// The models behind plix.simulate and plix.fit: one normalised transmittance curve for one
// pulse energy at scan positions used as given.
#pragma once

#include <limits>
#include <span>
#include <variant>

#include "model/integration_tally.hpp"
#include "model/model_layout.hpp"

namespace plix::model {

// The experiment, SI units.
struct Setup {
    double wavelength = 0.0;    // m
    double w0 = 0.0;            // beam waist radius, m
    double tau = 0.0;           // pulse 1/e half-width of the intensity, s
    double sample_width = 0.0;  // m
    double M2 = 1.0;            // beam quality; divides the Rayleigh range
    Populations populations{};  // initial N1..N5, m^-3
};

enum class Stepper { lsoda, exact };
enum class Normalisation {
    linear,  // divided by the transmittance at vanishing intensity
    ends,    // additive shift: the mean of the first and last five points becomes 1
    none,    // the raw transmitted fraction of the pulse energy
};
enum class Geometry { on_axis, beam };

// fit_zscan's discretisation: on-axis intensity, t_slices points across +-tau/2, z_slices
// depth points, first-order splitting. With Stepper::lsoda and Normalisation::ends it is
// fit_zscan's model bit for bit.
struct SeedModel {
    Stepper stepper = Stepper::lsoda;
    int t_slices = 10;
    int z_slices = 8;
    Normalisation normalisation = Normalisation::ends;
};

// Grid of the physical model. radial_nodes is 1 for the on-axis geometry.
struct PhysicalGrid {
    int time_steps = 0;
    int slices = 0;
    int radial_nodes = 0;
};

// Energy-normalised Gaussian beam and pulse, the whole pulse, slices adding up to the
// sample width, a second-order scheme with the exact propagator.
struct PhysicalModel {
    Geometry geometry = Geometry::beam;
    double accuracy = 1e-4;  // requested error in normalised transmittance
    Normalisation normalisation = Normalisation::linear;
    PhysicalGrid grid{};  // all zero: chosen automatically for `accuracy`
};

using ModelSpec = std::variant<SeedModel, PhysicalModel>;

// What one evaluation reports besides the curve.
struct CurveReport {
    IntegrationTally tally;  // LSODA integrations by how they ended (seed model, lsoda)
    PhysicalGrid grid{};     // the grid used (physical model)
    double error_estimate = std::numeric_limits<double>::quiet_NaN();  // physical model
};

// One curve: the scan positions in mm (distance of the sample from the focus, used as
// given) and one pulse energy in J.
struct CurveRequest {
    const Setup& setup;
    const ParameterVector& params;
    std::span<const double> positions_mm;
    double energy = 0.0;
};

// Writes the model curve at every position into out (out.size() == positions_mm.size()),
// evaluating positions on up to `threads` threads (1: the calling thread only). The result
// does not depend on `threads`. Preconditions are checked by the callers (bindings):
// positive finite lengths and energy, at least five positions for Normalisation::ends,
// t_slices >= 2 and z_slices 0 or >= 2.
void model_curve(const ModelSpec& model, const CurveRequest& request, std::span<double> out,
                 unsigned threads, CurveReport& report);

}  // namespace plix::model
