// Open aperture, saturable absorption of a fast homogeneous absorber without background:
// dI/dz' = -alpha_s I/(1 + I/I_s), solved exactly at every point of the beam and the pulse.
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <vector>

#include "model/analytic_beam.hpp"
#include "model/analytic_lambert_w.hpp"
#include "model/analytic_profile.hpp"
#include "model/model_kind.hpp"

namespace plix::model {
namespace {

enum Parameter : std::size_t { alpha_s, saturation };

// Below this I/I_s the column transmittance is its linear value to within the rounding of a
// double (the first correction is alpha_s Leff I/I_s).
constexpr double linear_intensity_ratio = 1e-300;

const std::vector<ParameterSpec>& specs() {
    static const std::vector<ParameterSpec> list{
        analytic::coefficient_spec("alpha_s", "1/m", "\\alpha_s",
                                   "saturable (linear) absorption coefficient"),
        [] {
            ParameterSpec spec =
                analytic::coefficient_spec("I_sat", "W/m^2", "I_s", "saturation intensity");
            spec.lowest_included = false;
            return spec;
        }(),
    };
    return list;
}

// The column's transmittance divided by the linear one, e^(-alpha_s L), at a = I/I_s: the
// solution of ln(I_out/I_in) + (I_out - I_in)/I_s = -alpha_s L is
// I_out/I_s = W0(a e^(a - alpha_s L)), taken as W0 of an exponential so that large a does not
// overflow.
double column_transmittance(double a, double absorbance) {
    if (a <= linear_intensity_ratio) return 1.0;
    const double out = lambert_w0_of_exp(std::log(a) + a - absorbance);
    return out * std::exp(absorbance) / a;
}

class SaturableModel final : public CurveModel {
  public:
    explicit SaturableModel(int nodes) : quadrature_(nodes) {}

    const std::vector<ParameterSpec>& parameters() const override { return specs(); }

    // The column transmittance averaged over the beam and the pulse (analytic_profile.hpp):
    // T = (4/sqrt(pi)) int_0^inf t^2 e^(-t^2) c(A e^(-t^2)) dt, A = I0/(I_s (1 + x^2)).
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& /*run*/,
               CurveReport& /*report*/) const override {
        const double absorbance = request.params[alpha_s] * request.setup.sample_width;
        const double scale = 4.0 / std::sqrt(std::numbers::pi);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const analytic::BeamPoint p = analytic::beam_point(request, i);
            const double peak = p.intensity / (request.params[saturation] * p.spread);
            out[i] = scale * quadrature_.half_line(peak, [peak, absorbance](double t) {
                const double g = std::exp(-t * t);
                return t * t * g * column_transmittance(peak * g, absorbance);
            });
        }
    }

    std::vector<std::string> range_notes(const CurveRequest& request) const override {
        std::vector<std::string> notes;
        if (auto note = analytic::thin_sample_note(request.setup, "oa_saturable"))
            notes.push_back(*note);
        return notes;
    }

  private:
    ProfileQuadrature quadrature_;
};

}  // namespace

ModelKind oa_saturable_kind() {
    ModelKind kind;
    kind.name = "oa_saturable";
    kind.summary = "Open aperture, fast saturable absorber (exact local solution, any I0/I_s).";
    kind.doc =
        "Open-aperture Z-scan of a thin fast saturable absorber, alpha(I) = alpha_s/(1 + I/I_s) "
        "(homogeneous, no non-saturable background, recovery much faster than the pulse). The "
        "local solution I_out = I_s W0[(I/I_s) e^(I/I_s - alpha_s L)] (W0 the Lambert W "
        "function) is averaged over the Gaussian beam and the Gaussian pulse by quadrature, "
        "relative error below 1e-10 for I0/I_s up to 1e6 and alpha_s L up to 6. Normalised by "
        "the linear transmittance e^(-alpha_s L); for weak saturation it tends to "
        "1 + alpha_s Leff I0/(2 sqrt(2) I_s (1 + x^2)) with I0 = 2E/(pi^(3/2) w0^2 tau) and "
        "x = z/z0. Holds for a thin sample (L/(n0 z0) <= 0.5). A slow absorber (recovery much "
        "longer than the pulse) saturates with fluence instead: use the physical model.";
    kind.fields = {analytic::quadrature_field()};
    kind.make = [](const FieldValues& v) {
        return std::make_shared<const SaturableModel>(
            static_cast<int>(field<std::int64_t>(v, "nodes")));
    };
    return kind;
}

}  // namespace plix::model
