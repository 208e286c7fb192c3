// What the closed-aperture closed forms share: the small-signal limits they hold within, and
// how they scale with the aperture.
#pragma once

#include <cmath>
#include <optional>
#include <string>

#include "model/curve_model.hpp"

namespace plix::model::analytic {

// First-order forms in the phase: with a time-averaged on-axis phase <DeltaPhi0> above this
// (rad) the curve is off the exact thin-sample one (Gaussian decomposition, far field, S -> 0)
// by more than about 10 % of DeltaT_pv.
inline constexpr double small_phase_limit = 0.4;
// The same for the absorptive part <DeltaPsi0> = beta I0 Leff/(2 sqrt(2)): beyond it the
// first-order dip is more than about 10 % deeper than the exact one.
inline constexpr double small_absorption_limit = 0.08;
// The (1 - S)^(1/4) scaling of the refractive signal holds within about 8 % of DeltaT_pv up
// to this aperture transmittance (far-field Fresnel check).
inline constexpr double aperture_limit = 0.5;

// The refractive signal's scale for an aperture of linear transmittance S (Sheik-Bahae et
// al., IEEE J. Quantum Electron. 26, 760 (1990)): (1 - S)^(1/4), 0 for an open aperture.
inline double aperture_scale(double aperture) { return std::pow(1.0 - aperture, 0.25); }

// The note of a closed aperture too open for the scaled small-aperture form, or nothing.
std::optional<std::string> aperture_note(double aperture, const std::string& model);

// The focus of a scan: the baseline crossing between peak and valley through a closed
// aperture, the extremum through an open one.
double closed_aperture_focus(std::span<const double> positions_mm, std::span<const double> measured,
                             double aperture);

}  // namespace plix::model::analytic
