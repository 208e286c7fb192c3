// fit_zscan's discretisation as a curve model, for any level scheme: on-axis intensity over
// the central +-tau/2 of the pulse, t_slices time points, z_slices depth points and a
// first-order splitting (see seed_stepper.hpp).
#pragma once

#include <vector>

#include "model/curve_model.hpp"
#include "model/level_scheme.hpp"
#include "model/normalisation.hpp"

namespace plix::model {

enum class Stepper {
    lsoda,  // each slice and time step integrated by LSODA: fit_zscan's model bit for bit
    exact,  // the same steps solved exactly with a matrix exponential
};

struct SeedConfig {
    LevelScheme scheme;
    Stepper stepper = Stepper::lsoda;
    int t_slices = 10;  // >= 2
    int z_slices = 8;   // 0 or >= 2
    Normalisation normalisation = Normalisation::ends;
    // Cells (positions x t_slices x z_slices, each one step of the populations) that one
    // curve may cost: a request beyond it is refused before any work.
    double max_cells = 1e7;
};

class SeedModel final : public CurveModel {
  public:
    explicit SeedModel(SeedConfig config);

    const std::vector<ParameterSpec>& parameters() const override { return specs_; }
    std::size_t levels() const override { return config_.scheme.levels; }
    // seed_intensity_factor / (pi tau w0^2) against 2 / (pi^(3/2) tau w0^2): about 1/6000.
    double intensity_scale() const override;

    // Needs at least five positions for Normalisation::ends (checked by the callers).
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& run,
               CurveReport& report) const override;

    double evaluation_cells(const CurveRequest& request) const override;

    const SeedConfig& config() const { return config_; }

  private:
    SeedConfig config_;
    std::vector<ParameterSpec> specs_;
    std::vector<std::size_t> process_parameter_;
};

}  // namespace plix::model
