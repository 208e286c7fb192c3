// Open aperture, excited-state absorption from a long-lived intermediate state with weak
// depletion of the ground state: the fluence-only form (Van Stryland and Sheik-Bahae 1998;
// Wei et al., Appl. Phys. B 54, 46 (1992)).
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { delta_sigma, alpha0 };

// The form neglects the depletion of the ground state: it holds while the fraction of the
// molecules excited at the focus, sigma_g F0/(h nu), stays below this.
constexpr double depletion_limit = 0.1;

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::signed_spec("delta_sigma", "m^2", "\\Delta\\sigma",
                              "sigma_ex - sigma_g (excited minus ground-state cross-section)"),
        analytic::absorption_spec(true),
    };
    return list;
}

// ln(1 + q)/q, 1 at q = 0; NaN for q < -1 (no such sample).
double fluence_transmittance(double q) { return q == 0.0 ? 1.0 : std::log1p(q) / q; }

class ExcitedStateModel final : public CurveModel {
  public:
    const std::vector<ParameterSpec>& parameters() const override { return specs(); }

    // q_F = delta_sigma alpha0 Leff F0/(2 h nu (1 + x^2)): dF/dz' = -alpha0 F -
    // (delta_sigma alpha0/(2 h nu)) F^2 integrated over the sample and the beam.
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double factor = strength_per_fluence(request);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            out[i] = fluence_transmittance(factor * p.fluence / p.spread);
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        const Setup& setup = request.setup;
        const double fluence =
            analytic::beam_point(setup, 0.0, analytic::largest_energy(request)).fluence;
        const double photons = fluence / analytic::photon_energy(setup);  // per m^2 at the focus
        const double q_focus = strength_per_fluence(request) * fluence;
        if (q_focus <= -1.0)
            notes.push_back("oa_esa_fluence: q_F at the focus is " +
                            analytic::note_number(q_focus) +
                            ", at or below -1, where ln(1 + q_F)/q_F has no value; "
                            "delta_sigma is too negative for this fluence");
        // sigma_g >= -delta_sigma since sigma_ex >= 0; with the ground-state population the
        // set-up gives, sigma_g = alpha0/N.
        double sigma_g = std::max(-request.params[delta_sigma], 0.0);
        const char* source = "-delta_sigma";
        if (!setup.populations.empty() && setup.populations[0] > 0.0 &&
            request.params[alpha0] / setup.populations[0] > sigma_g) {
            sigma_g = request.params[alpha0] / setup.populations[0];
            source = "alpha0/N";
        }
        const double depletion = sigma_g * photons;
        if (depletion > depletion_limit)
            notes.push_back("oa_esa_fluence: the ground state is depleted: sigma_g F0/(h nu) = " +
                            analytic::note_number(depletion) + " at the focus (sigma_g >= " +
                            source + ") exceeds " + analytic::note_number(depletion_limit) +
                            ", where the weak-depletion form fails; use the physical model");
        if (auto note = analytic::thin_sample_note(setup, "oa_esa_fluence")) notes.push_back(*note);
        return notes;
    }

  private:
    static double strength_per_fluence(const CurveRequest& request) {
        const Setup& setup = request.setup;
        const double absorbed =
            request.params[alpha0] *
            analytic::effective_length(request.params[alpha0], setup.sample_width);
        return request.params[delta_sigma] * absorbed / (2.0 * analytic::photon_energy(setup));
    }
};

}  // namespace

ModelKind oa_esa_fluence_kind() {
    ModelKind kind;
    kind.name = "oa_esa_fluence";
    kind.summary = "Open aperture, excited-state absorption in the fluence-only limit.";
    kind.doc =
        "Open-aperture Z-scan of a thin sample whose excited state, reached by one-photon "
        "absorption, lives much longer than the pulse and absorbs with sigma_ex, the ground "
        "state weakly depleted (Van Stryland and Sheik-Bahae 1998; Wei et al., Appl. Phys. B "
        "54, 46 (1992)): T = ln(1 + q_F)/q_F with q_F = delta_sigma alpha0 Leff F0/(2 h nu "
        "(1 + x^2)), delta_sigma = sigma_ex - sigma_g (> 0: reverse saturable, < 0: saturable), "
        "F0 = 2E/(pi w0^2), x = z/z0 and alpha0 Leff = 1 - e^(-alpha0 L). It depends on the "
        "fluence only, not on the pulse width. Holds while sigma_g F0/(h nu) < 0.1 (with the "
        "ground-state number density as the set-up's first population, sigma_g = alpha0/N is "
        "checked; without, only sigma_g >= -delta_sigma), q_F > -1 and the sample is thin "
        "(L/(n0 z0) <= 0.5). Singlet ESA with ps pulses, triplet ESA with ns pulses when "
        "intersystem crossing is much faster than the pulse; otherwise use the physical model.";
    kind.make = [](const FieldValues&) { return std::make_shared<const ExcitedStateModel>(); };
    return kind;
}

}  // namespace plix::model
