// What the closed-form models share: the beam and the pulse at a scan position, the sample's
// effective lengths, their parameter specs, and the notes on where a closed form stops
// holding. Conventions: x = z/z0 with z0 = pi w0^2/(M2 lambda); I0 = 2E/(pi^(3/2) w0^2 tau)
// the peak on-axis intensity at the focus (tau the 1/e half-width of exp(-(t/tau)^2));
// F0 = 2E/(pi w0^2) the peak on-axis fluence; Leff = (1 - e^(-alpha0 L))/alpha0.
#pragma once

#include <cstddef>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "model/curve_model.hpp"
#include "model/model_kind.hpp"

namespace plix::model::analytic {

// <f^2>/<f> of a Gaussian pulse f = exp(-(t/tau)^2): the energy-weighted mean of an
// instantaneous cubic effect (a Kerr phase, a 2PA loss) relative to its peak.
inline constexpr double pulse_average = 1.0 / std::numbers::sqrt2;

// The sample counts as thin while L/(n0 z0) stays at or below this: the thick-sample forms
// differ from the thin ones by less than 2 % there (Sheik-Bahae et al., Opt. Eng. 30, 1228
// (1991)).
inline constexpr double thin_sample_limit = 0.5;

// The beam and the pulse at one scan position.
struct BeamPoint {
    double x;          // z/z0
    double intensity;  // peak on-axis intensity at the focus for this pulse energy, W/m^2
    double fluence;    // peak on-axis fluence at the focus, J/m^2
    double spread;     // 1 + x^2: the beam area at z over that at the focus
};

BeamPoint beam_point(const Setup& setup, double position_mm, double energy);

inline BeamPoint beam_point(const CurveRequest& request, std::size_t i) {
    return beam_point(request.setup, request.positions_mm[i], request.energy_at(i));
}

// (1 - e^(-alpha L))/alpha, L for alpha = 0.
double effective_length(double alpha, double length);

// 2 pi / lambda, 1/m.
double wavenumber(const Setup& setup);

// h nu, J.
double photon_energy(const Setup& setup);

// L/(n0 z0): the sample in internal Rayleigh ranges.
double thickness_in_rayleigh_ranges(const Setup& setup);

// The largest pulse energy of the request (the energy, or the largest of one per point).
double largest_energy(const CurveRequest& request);

// A number for a note, three significant figures.
std::string note_number(double value);

// The note of a thin-sample form used on a sample that is not thin, or nothing.
std::optional<std::string> thin_sample_note(const Setup& setup, const std::string& model);

// Parameter specs shared by the closed forms.
// A coefficient >= 0 that must be given, fitted in log space over (0, inf).
ParameterSpec coefficient_spec(std::string name, std::string unit, std::string symbol,
                               std::string description);
// Any real value, fitted without bounds.
ParameterSpec signed_spec(std::string name, std::string unit, std::string symbol,
                          std::string description);
// The linear absorption coefficient alpha0 (1/m), >= 0; given, or 0 when left out.
ParameterSpec absorption_spec(bool required);

// The registry field of the pulse and beam quadrature's nodes per panel.
FieldSpec quadrature_field();

}  // namespace plix::model::analytic
