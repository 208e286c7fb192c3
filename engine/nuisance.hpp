// Quantities of the experiment that a fit may adjust besides the model's parameters: where
// the focus lies, the detector's baseline and tilt, the energy calibration, the beam waist
// and the aperture. They act around any model's curve (positions shifted, energy scaled,
// set-up and aperture replaced, curve times baseline (1 + tilt z)), so that no model needs
// to know of them.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "model/curve_model.hpp"

namespace plix::engine {

enum class NuisanceKind {
    focus_offset,  // mm subtracted from the measured positions of its datasets
    baseline,      // multiplies the model curve
    tilt,          // per mm: the curve times (1 + tilt z), z the position from the focus
    energy_scale,  // multiplies the pulse energies (a calibration factor)
    beam_waist,    // replaces the set-up's w0 (m); applies to every dataset
    aperture,      // replaces the aperture's linear transmittance S of its datasets
};

std::string nuisance_kind_name(NuisanceKind kind);

// One nuisance value and the datasets it applies to. `value` is the start when it varies and
// the value used when it does not; NaN means the neutral start: the focus rule of the
// model for an offset (the median over its open-aperture datasets, or over all of them when
// none is open), 1 for a baseline or an energy scale, 0 for a tilt, the set-up's w0, the
// first dataset's aperture.
struct Nuisance {
    NuisanceKind kind = NuisanceKind::focus_offset;
    std::vector<std::size_t> datasets;
    double value = std::numeric_limits<double>::quiet_NaN();
    double min = -std::numeric_limits<double>::infinity();
    double max = std::numeric_limits<double>::infinity();
    bool vary = true;
};

// What one dataset's curve is computed with.
struct DatasetConditions {
    double offset_mm = 0.0;
    double baseline = 1.0;
    double tilt_per_mm = 0.0;
    double energy_scale = 1.0;
    double aperture = model::open_aperture;
};

// Throws std::invalid_argument, naming the nuisance, for a dataset index out of range, a
// dataset given two nuisances of one kind, a beam waist that does not apply to every
// dataset, an aperture on an open-aperture dataset, bounds that are not min < max or a held
// value outside them.
void check_nuisances(std::span<const Nuisance> nuisances,
                     std::span<const double> dataset_apertures);

// Sets the conditions of every dataset for the nuisances at the given values (one per
// nuisance); the beam waist, if any, goes to `w0`. Allocates nothing.
void apply_nuisances(std::span<const Nuisance> nuisances, std::span<const double> values,
                     std::span<const double> dataset_apertures,
                     std::span<DatasetConditions> conditions, double& w0);

}  // namespace plix::engine
