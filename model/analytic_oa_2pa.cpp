// Open aperture, two-photon absorption: Sheik-Bahae et al., IEEE J. Quantum Electron. 26, 760
// (1990), the Gaussian pulse integrated in closed form over the beam.
#include <memory>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/analytic_profile.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { beta, alpha0 };

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::coefficient_spec("beta", "m/W", "\\beta", "two-photon absorption coefficient"),
        analytic::absorption_spec(false),
    };
    return list;
}

class TwoPhotonModel final : public CurveModel {
  public:
    explicit TwoPhotonModel(int nodes) : quadrature_(nodes) {}

    const std::vector<ParameterSpec>& parameters() const override { return specs(); }

    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double leff =
            analytic::effective_length(request.params[alpha0], request.setup.sample_width);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            out[i] = two_photon_transmittance(quadrature_,
                                              request.params[beta] * p.intensity * leff / p.spread);
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        if (auto note = analytic::thin_sample_note(request.setup, "oa_2pa")) notes.push_back(*note);
        return notes;
    }

  private:
    ProfileQuadrature quadrature_;
};

}  // namespace

ModelKind oa_2pa_kind() {
    ModelKind kind;
    kind.name = "oa_2pa";
    kind.summary = "Open aperture, two-photon absorption (closed form, any q0).";
    kind.doc =
        "Open-aperture Z-scan of a thin two-photon absorber (Sheik-Bahae et al., IEEE J. "
        "Quantum Electron. 26, 760 (1990)): T = (1/(sqrt(pi) q0)) int ln(1 + q0 e^(-t^2)) dt "
        "with q0 = beta I0 Leff/(1 + x^2), x = z/z0, I0 = 2E/(pi^(3/2) w0^2 tau) and Leff = "
        "(1 - e^(-alpha0 L))/alpha0, normalised by the linear transmittance. The integral is "
        "evaluated by quadrature, so every q0 >= 0 is in range (q0 = 2 gives T = 0.6407 at the "
        "focus), not only the q0 < 1 of the series. Holds for a thin sample (L/(n0 z0) <= 0.5), "
        "an instantaneous 2PA (no excited-state or free-carrier absorption: a beta that grows "
        "with I0 says they are present), a Gaussian TEM00 beam and a Gaussian pulse; I0 is the "
        "intensity inside the sample.";
    kind.fields = {analytic::quadrature_field()};
    kind.make = [](const FieldValues& v) {
        return std::make_shared<const TwoPhotonModel>(
            static_cast<int>(field<std::int64_t>(v, "nodes")));
    };
    return kind;
}

}  // namespace plix::model
