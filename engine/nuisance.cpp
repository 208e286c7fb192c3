#include "engine/nuisance.hpp"

#include <cmath>
#include <stdexcept>

namespace plix::engine {

std::string nuisance_kind_name(NuisanceKind kind) {
    switch (kind) {
        case NuisanceKind::focus_offset:
            return "focus_offset";
        case NuisanceKind::baseline:
            return "baseline";
        case NuisanceKind::tilt:
            return "tilt";
        case NuisanceKind::energy_scale:
            return "energy_scale";
        case NuisanceKind::beam_waist:
            return "beam_waist";
        case NuisanceKind::aperture:
            break;
    }
    return "aperture";
}

void check_nuisances(std::span<const Nuisance> nuisances,
                     std::span<const double> dataset_apertures) {
    constexpr std::size_t kinds = static_cast<std::size_t>(NuisanceKind::aperture) + 1;
    const std::size_t n = dataset_apertures.size();
    std::vector<std::vector<bool>> taken(kinds, std::vector<bool>(n, false));
    for (std::size_t i = 0; i < nuisances.size(); ++i) {
        const Nuisance& x = nuisances[i];
        const std::string name =
            "nuisances[" + std::to_string(i) + "] (" + nuisance_kind_name(x.kind) + ")";
        if (x.datasets.empty()) throw std::invalid_argument(name + ": applies to no dataset");
        if (!(x.min < x.max)) throw std::invalid_argument(name + ": min must be less than max");
        if (!x.vary && !(std::isfinite(x.value) && x.min <= x.value && x.value <= x.max))
            throw std::invalid_argument(name + ": a held value must be finite and within its "
                                               "bounds");
        if (x.kind == NuisanceKind::beam_waist && x.datasets.size() != n)
            throw std::invalid_argument(name + ": the beam waist applies to every dataset");
        auto& used = taken[static_cast<std::size_t>(x.kind)];
        for (const std::size_t d : x.datasets) {
            if (d >= n) throw std::invalid_argument(name + ": dataset index out of range");
            if (used[d])
                throw std::invalid_argument(name + ": dataset " + std::to_string(d) +
                                            " already has one of this kind");
            used[d] = true;
            if (x.kind == NuisanceKind::aperture && !(dataset_apertures[d] < model::open_aperture))
                throw std::invalid_argument(name + ": dataset " + std::to_string(d) +
                                            " is open-aperture; an aperture applies to closed "
                                            "ones only");
        }
    }
}

void apply_nuisances(std::span<const Nuisance> nuisances, std::span<const double> values,
                     std::span<const double> dataset_apertures,
                     std::span<DatasetConditions> conditions, double& w0) {
    for (std::size_t d = 0; d < conditions.size(); ++d)
        conditions[d] = DatasetConditions{.aperture = dataset_apertures[d]};
    for (std::size_t i = 0; i < nuisances.size(); ++i) {
        const double v = values[i];
        const Nuisance& x = nuisances[i];
        if (x.kind == NuisanceKind::beam_waist) {
            w0 = v;
            continue;
        }
        for (const std::size_t d : x.datasets) {
            DatasetConditions& c = conditions[d];
            switch (x.kind) {
                case NuisanceKind::focus_offset:
                    c.offset_mm = v;
                    break;
                case NuisanceKind::baseline:
                    c.baseline = v;
                    break;
                case NuisanceKind::tilt:
                    c.tilt_per_mm = v;
                    break;
                case NuisanceKind::energy_scale:
                    c.energy_scale = v;
                    break;
                case NuisanceKind::aperture:
                    c.aperture = v;
                    break;
                case NuisanceKind::beam_waist:
                    break;
            }
        }
    }
}

}  // namespace plix::engine
