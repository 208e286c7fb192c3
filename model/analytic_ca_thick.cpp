// Closed aperture, thick sample: the small-signal Kerr signal of a sample longer than the
// Rayleigh range, summed over thin slices (Sheik-Bahae, Said, Hagan, Soileau and Van Stryland,
// Opt. Eng. 30, 1228 (1991)).
#include <cmath>
#include <memory>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/analytic_closed_aperture.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { n2 };

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::signed_spec("n2", "m^2/W", "n_2", "nonlinear refractive index"),
    };
    return list;
}

class ThickClosedModel final : public CurveModel {
  public:
    const std::vector<ParameterSpec>& parameters() const override { return specs(); }
    bool closed_aperture() const override { return true; }

    // T = 1 + (1 - S)^(1/4) (<DPhi_z0>/4) ln{[((x + l/2)^2 + 1)((x - l/2)^2 + 9)] /
    // [((x + l/2)^2 + 9)((x - l/2)^2 + 1)]}, each ratio written as log1p of
    // 2xl/((x - l/2)^2 + c) so that it keeps its digits as l -> 0, where it becomes ca_thin's
    // 4x l<DPhi_z0>/((x^2 + 1)(x^2 + 9)) with l<DPhi_z0> = <DPhi0>.
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double l = analytic::thickness_in_rayleigh_ranges(request.setup);
        const double scale = analytic::aperture_scale(request.aperture) / 4.0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            const double behind = (p.x - 0.5 * l) * (p.x - 0.5 * l);
            const double across = 2.0 * p.x * l;
            const double shape =
                std::log1p(across / (behind + 1.0)) - std::log1p(across / (behind + 9.0));
            out[i] = 1.0 + scale * phase_per_rayleigh_range(request, p.intensity) * shape;
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        if (request.aperture >= open_aperture) {
            notes.push_back(
                "ca_thick: an open aperture (S = 1) shows no refraction; give the "
                "closed-aperture datasets their aperture's linear transmittance S");
            return notes;
        }
        // The on-axis phase a slab of l internal Rayleigh ranges centred on the focus gathers.
        const double l = analytic::thickness_in_rayleigh_ranges(request.setup);
        const double intensity =
            analytic::beam_point(request.setup, 0.0, analytic::largest_energy(request)).intensity;
        const double phase =
            phase_per_rayleigh_range(request, intensity) * 2.0 * std::atan(0.5 * l);
        if (std::abs(phase) > analytic::small_phase_limit)
            notes.push_back(
                "ca_thick: the time-averaged on-axis phase <DeltaPhi_z0> 2 atan(l/2) = " +
                analytic::note_number(phase) + " rad exceeds +-" +
                analytic::note_number(analytic::small_phase_limit) +
                " rad, beyond which the first-order form is off by more than about "
                "10 % of DeltaT_pv");
        if (auto note = analytic::aperture_note(request.aperture, "ca_thick"))
            notes.push_back(*note);
        return notes;
    }

    double focus_position(std::span<const double> positions_mm, std::span<const double> measured,
                          double aperture) const override {
        return analytic::closed_aperture_focus(positions_mm, measured, aperture);
    }

  private:
    // <DeltaPhi_z0> = k n2 I0 n0 z0/sqrt(2): the time-averaged phase per internal Rayleigh
    // range n0 z0 at the focus.
    static double phase_per_rayleigh_range(const CurveRequest& request, double intensity) {
        const Setup& setup = request.setup;
        return analytic::pulse_average * analytic::wavenumber(setup) * request.params[n2] *
               intensity * setup.n0 * setup.rayleigh_range();
    }
};

}  // namespace

ModelKind ca_thick_kind() {
    ModelKind kind;
    kind.name = "ca_thick";
    kind.summary = "Closed aperture, thick sample: n2 to first order, any L/z0.";
    kind.doc =
        "Closed-aperture Z-scan of a sample of any thickness without absorption (Sheik-Bahae "
        "et al., Opt. Eng. 30, 1228 (1991)): thin slices of the sample, each at its own "
        "distance from the focus, add their first-order signals: T = 1 + (1 - S)^(1/4) "
        "(<DeltaPhi_z0>/4) ln{[((x + l/2)^2 + 1)((x - l/2)^2 + 9)]/[((x + l/2)^2 + 9)((x - l/2)^2 "
        "+ 1)]} with x = z/z0 the position of the sample's centre, l = L/(n0 z0) the thickness "
        "in internal Rayleigh ranges, <DeltaPhi_z0> = k n2 I0 n0 z0/sqrt(2) the time-averaged "
        "phase per internal Rayleigh range (n0 inside it: conventions differ between papers), "
        "k = 2 pi/lambda and I0 = 2E/(pi^(3/2) w0^2 tau). As l -> 0 it becomes ca_thin without "
        "absorption; for L >> z0 the signal stops growing with L. z increases toward the "
        "detector: n2 > 0 gives the valley before the focus. Holds for an on-axis phase "
        "<DeltaPhi_z0> 2 atan(l/2) within +-0.4 rad, S <= 0.5, a far-field aperture and "
        "alpha0 L << 1.";
    kind.make = [](const FieldValues&) { return std::make_shared<const ThickClosedModel>(); };
    return kind;
}

}  // namespace plix::model
