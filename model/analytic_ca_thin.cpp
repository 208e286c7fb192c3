// Closed aperture, thin sample: nonlinear refraction with two-photon absorption to first
// order in both (Sheik-Bahae et al., IEEE J. Quantum Electron. 26, 760 (1990); the absorptive
// term as Liu et al., Opt. Commun. 197, 431 (2001)).
#include <cmath>
#include <memory>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/analytic_closed_aperture.hpp"
#include "model/analytic_profile.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { n2, beta, alpha0 };

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::signed_spec("n2", "m^2/W", "n_2", "nonlinear refractive index"),
        [] {
            ParameterSpec spec = analytic::coefficient_spec("beta", "m/W", "\\beta",
                                                            "two-photon absorption coefficient");
            spec.default_value = 0.0;
            return spec;
        }(),
        analytic::absorption_spec(false),
    };
    return list;
}

class ThinClosedModel final : public CurveModel {
  public:
    explicit ThinClosedModel(int nodes) : quadrature_(nodes) {}

    const std::vector<ParameterSpec>& parameters() const override { return specs(); }
    bool closed_aperture() const override { return true; }

    // Through a closed aperture: T = 1 + [(1 - S)^(1/4) 4x<DPhi0> - 2(x^2 + 3)<DPsi0>] /
    // ((x^2 + 1)(x^2 + 9)); z toward the detector, so that n2 > 0 puts the valley before the
    // focus. Through an open one (S = 1): the 2PA integral of oa_2pa, so that open and
    // closed scans can be fitted together.
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double leff =
            analytic::effective_length(request.params[alpha0], request.setup.sample_width);
        const bool open = request.aperture >= open_aperture;
        const double refraction = analytic::aperture_scale(request.aperture);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            if (open) {
                out[i] = two_photon_transmittance(
                    quadrature_, request.params[beta] * p.intensity * leff / p.spread);
                continue;
            }
            const Phases f = phases(request, p.intensity, leff);
            const double x2 = p.x * p.x;
            out[i] =
                1.0 + (refraction * 4.0 * p.x * f.refraction - 2.0 * (x2 + 3.0) * f.absorption) /
                          ((x2 + 1.0) * (x2 + 9.0));
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        if (request.aperture < open_aperture) {
            const double leff =
                analytic::effective_length(request.params[alpha0], request.setup.sample_width);
            const double intensity =
                analytic::beam_point(request.setup, 0.0, analytic::largest_energy(request))
                    .intensity;
            const Phases f = phases(request, intensity, leff);
            if (std::abs(f.refraction) > analytic::small_phase_limit)
                notes.push_back("ca_thin: the time-averaged phase <DeltaPhi0> = " +
                                analytic::note_number(f.refraction) + " rad exceeds +-" +
                                analytic::note_number(analytic::small_phase_limit) +
                                " rad, beyond which the first-order form is off by more than "
                                "about 10 % of DeltaT_pv");
            if (f.absorption > analytic::small_absorption_limit)
                notes.push_back(
                    "ca_thin: the absorptive <DeltaPsi0> = " + analytic::note_number(f.absorption) +
                    " exceeds " + analytic::note_number(analytic::small_absorption_limit) +
                    ", beyond which the first-order 2PA term overstates the dip by "
                    "more than about 10 %");
            if (auto note = analytic::aperture_note(request.aperture, "ca_thin"))
                notes.push_back(*note);
        }
        if (auto note = analytic::thin_sample_note(request.setup, "ca_thin"))
            notes.push_back(*note);
        return notes;
    }

    double focus_position(std::span<const double> positions_mm, std::span<const double> measured,
                          double aperture) const override {
        return analytic::closed_aperture_focus(positions_mm, measured, aperture);
    }

  private:
    // The time-averaged on-axis phase and absorptive phase at the focus for a peak intensity:
    // <DeltaPhi0> = k n2 I0 Leff/sqrt(2), <DeltaPsi0> = beta I0 Leff/(2 sqrt(2)).
    struct Phases {
        double refraction;
        double absorption;
    };

    static Phases phases(const CurveRequest& request, double intensity, double leff) {
        const double dose = analytic::pulse_average * intensity * leff;
        return {.refraction = analytic::wavenumber(request.setup) * request.params[n2] * dose,
                .absorption = 0.5 * request.params[beta] * dose};
    }

    ProfileQuadrature quadrature_;
};

}  // namespace

ModelKind ca_thin_kind() {
    ModelKind kind;
    kind.name = "ca_thin";
    kind.summary = "Closed aperture, thin sample: n2 and 2PA to first order (small signals).";
    kind.doc =
        "Closed-aperture Z-scan of a thin sample (Sheik-Bahae et al., IEEE J. Quantum "
        "Electron. 26, 760 (1990)): T = 1 + [(1 - S)^(1/4) 4x<DeltaPhi0> - 2(x^2 + 3)"
        "<DeltaPsi0>]/((x^2 + 1)(x^2 + 9)) with x = z/z0, <DeltaPhi0> = k n2 I0 Leff/sqrt(2), "
        "<DeltaPsi0> = beta I0 Leff/(2 sqrt(2)) (the 1/sqrt(2) averages an instantaneous "
        "effect over a Gaussian pulse), k = 2 pi/lambda, I0 = 2E/(pi^(3/2) w0^2 tau), Leff = "
        "(1 - e^(-alpha0 L))/alpha0 and S the aperture's linear transmittance. z increases "
        "toward the detector: n2 > 0 gives the valley before the focus and the peak after it, "
        "peak and valley at x = -+0.858, DeltaT_pv = 0.406 (1 - S)^(1/4) |<DeltaPhi0>|. Holds "
        "for |<DeltaPhi0>| <= 0.4 rad, <DeltaPsi0> <= 0.08, S <= 0.5, a far-field aperture and "
        "a thin sample (L/(n0 z0) <= 0.5); the absorptive term is its small-aperture form. An "
        "open-aperture dataset (no aperture) gets the 2PA curve of oa_2pa, so that open and "
        "closed scans fitted together share beta.";
    kind.fields = {analytic::quadrature_field()};
    kind.make = [](const FieldValues& v) {
        return std::make_shared<const ThinClosedModel>(
            static_cast<int>(field<std::int64_t>(v, "nodes")));
    };
    return kind;
}

}  // namespace plix::model
