#include "model/curve_model.hpp"

#include "model/physical_curve.hpp"
#include "model/seed_curve.hpp"

namespace plix::model {

void model_curve(const ModelSpec& model, const CurveRequest& request, std::span<double> out,
                 unsigned threads, CurveReport& report) {
    if (const auto* seed = std::get_if<SeedModel>(&model))
        seed_curve(*seed, request, out, threads, report);
    else
        physical_curve(std::get<PhysicalModel>(model), request, out, threads, report);
}

}  // namespace plix::model
