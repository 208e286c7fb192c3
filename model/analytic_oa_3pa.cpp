// Open aperture, three-photon absorption: He, Qu, Li, Mi and Ji, Opt. Express 13, 9235
// (2005), the Gaussian pulse integrated in closed form over the beam.
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/analytic_profile.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { gamma, alpha0 };

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::coefficient_spec("gamma", "m^3/W^2", "\\gamma_3",
                                   "three-photon absorption coefficient"),
        analytic::absorption_spec(false),
    };
    return list;
}

class ThreePhotonModel final : public CurveModel {
  public:
    explicit ThreePhotonModel(int nodes) : quadrature_(nodes) {}

    const std::vector<ParameterSpec>& parameters() const override { return specs(); }

    // dI/dz' = -alpha0 I - gamma I^3 leaves I/sqrt(1 + 2 gamma L'eff I^2) times e^(-alpha0 L);
    // over the beam that is asinh(p)/p, over the pulse the integral below.
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double leff3 =
            analytic::effective_length(2.0 * request.params[alpha0], request.setup.sample_width);
        const double root = std::sqrt(2.0 * request.params[gamma] * leff3);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            out[i] = transmittance(root * p.intensity / p.spread);
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        if (auto note = analytic::thin_sample_note(request.setup, "oa_3pa")) notes.push_back(*note);
        return notes;
    }

  private:
    // (1/(sqrt(pi) p0)) int asinh(p0 e^(-t^2)) dt over the real line: He et al.'s
    // ln[sqrt(1 + p0^2 e^(-2t^2)) + p0 e^(-t^2)] is asinh(p0 e^(-t^2)). Every p0 >= 0.
    double transmittance(double p0) const {
        if (p0 == 0.0) return 1.0;
        const double integral =
            quadrature_.half_line(p0, [p0](double t) { return std::asinh(p0 * std::exp(-t * t)); });
        return 2.0 * integral / (std::sqrt(std::numbers::pi) * p0);
    }

    ProfileQuadrature quadrature_;
};

}  // namespace

ModelKind oa_3pa_kind() {
    ModelKind kind;
    kind.name = "oa_3pa";
    kind.summary = "Open aperture, three-photon absorption (closed form, any p0).";
    kind.doc =
        "Open-aperture Z-scan of a thin three-photon absorber (He et al., Opt. Express 13, "
        "9235 (2005)): T = (1/(sqrt(pi) p0)) int ln[sqrt(1 + p0^2 e^(-2t^2)) + p0 e^(-t^2)] dt "
        "with p0 = sqrt(2 gamma L'eff) I0/(1 + x^2), x = z/z0, I0 = 2E/(pi^(3/2) w0^2 tau) and "
        "L'eff = (1 - e^(-2 alpha0 L))/(2 alpha0), normalised by the linear transmittance. The "
        "integral is evaluated by quadrature, so every p0 >= 0 is in range, not only the p0 < 1 "
        "of the series. Holds for a thin sample (L/(n0 z0) <= 0.5), an instantaneous 3PA, a "
        "Gaussian TEM00 beam and a Gaussian pulse. A log-log plot of 1 - T(0) against I0 with "
        "slope near 2 supports 3PA (slope 1: 2PA).";
    kind.fields = {analytic::quadrature_field()};
    kind.make = [](const FieldValues& v) {
        return std::make_shared<const ThreePhotonModel>(
            static_cast<int>(field<std::int64_t>(v, "nodes")));
    };
    return kind;
}

}  // namespace plix::model
