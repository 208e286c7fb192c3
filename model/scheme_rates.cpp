#include "model/scheme_rates.hpp"

#include <cassert>

namespace plix::model {

SchemeRates::SchemeRates(const LevelScheme& scheme, std::span<const std::size_t> parameter_index,
                         std::span<const double> values, double photon_flux_factor)
    : levels_(scheme.levels), photon_flux_factor_(photon_flux_factor) {
    assert(parameter_index.size() == scheme.processes.size());
    terms_.reserve(scheme.processes.size());
    for (std::size_t k = 0; k < scheme.processes.size(); ++k) {
        const Process& p = scheme.processes[k];
        const double value = values[parameter_index[k]];
        double coefficient = 0.0;
        switch (p.kind) {
            case ProcessKind::one_photon:
                coefficient = value;
                break;
            case ProcessKind::two_photon:
                coefficient = 0.5 * value;
                two_photon_ = true;
                break;
            case ProcessKind::decay:
                coefficient = 1.0 / value;  // an infinite lifetime switches the channel off
                break;
        }
        terms_.push_back({p.kind, p.from, p.to, coefficient});
    }
    level_begin_.assign(levels_ + 1, 0);
    for (std::size_t l = 0; l < levels_; ++l) {
        level_begin_[l] = level_terms_.size();
        for (std::size_t k = 0; k < terms_.size(); ++k) {
            if (terms_[k].to == l) level_terms_.push_back({k, true});
            if (terms_[k].from == l) level_terms_.push_back({k, false});
        }
    }
    level_begin_[levels_] = level_terms_.size();
}

}  // namespace plix::model
