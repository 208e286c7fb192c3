// The physical model: an energy-normalised Gaussian beam and pulse (the whole pulse), the
// true sample thickness, the populations of a level scheme stepped by exact propagators in a
// second-order scheme, the sample's instantaneous absorption and refraction, the far field
// behind a closed aperture, and a grid chosen for a requested accuracy.
#pragma once

#include <optional>
#include <vector>

#include "model/curve_model.hpp"
#include "model/instantaneous_optics.hpp"
#include "model/level_scheme.hpp"
#include "model/normalisation.hpp"
#include "model/physical_parameters.hpp"
#include "model/propagator.hpp"

namespace plix::model {

enum class Geometry { on_axis, beam };

// Grid of the physical model; radial_nodes is 1 for the on-axis geometry.
struct PhysicalGrid {
    int time_steps = 0;
    int slices = 0;
    int radial_nodes = 0;
};

struct PhysicalConfig {
    std::optional<LevelScheme> scheme;  // none: a sample without populations
    Saturation saturation = Saturation::homogeneous;
    Geometry geometry = Geometry::beam;
    double accuracy = 1e-4;  // requested error in normalised transmittance
    Normalisation normalisation = Normalisation::linear;
    PhysicalGrid grid{};  // all zero: chosen for `accuracy`; a zero entry: that one chosen
    // Cells (positions x radial nodes x time steps x slices) that one curve may cost, the grid
    // search included: a fixed grid beyond it is refused before any work, and the search
    // stops at it (reporting the grid the accuracy would need).
    double max_cells = 2e7;  // about 1 to 2 s on one core
    // Truncation tolerance of the populations' propagators (PropagatorSettings::tolerance):
    // the default keeps them at rounding level; a relaxed copy for exploring loosens it with
    // its accuracy (with_relaxed_accuracy).
    double propagator_tolerance = PropagatorSettings{}.tolerance;
};

class PhysicalModel final : public CurveModel {
  public:
    explicit PhysicalModel(PhysicalConfig config);

    const std::vector<ParameterSpec>& parameters() const override { return specs_; }
    std::size_t levels() const override { return config_.scheme ? config_.scheme->levels : 0; }
    // Through the whole beam: a closed aperture needs the field across it.
    bool closed_aperture() const override { return config_.geometry == Geometry::beam; }

    // On config.grid when every dimension it uses is positive (radial_nodes is ignored on
    // axis and reported as 1); the error is then not estimated (NaN). Otherwise the
    // dimensions given as zero are chosen for the accuracy, those given are kept, and the
    // grid used and its error estimate go to the report. The result is bitwise the same for
    // every thread count. With request.aperture < 1 (beam geometry only; std::invalid_argument
    // on axis) the curve is the energy that passes a far-field aperture of that linear
    // transmittance, in the 'linear' normalisation divided by the aperture times the linear
    // transmittance of the sample.
    void curve(const CurveRequest& request, std::span<double> out, const RunControl& run,
               CurveReport& report) const override;

    // With the automatic grid: the componentwise largest of the grids chosen for each curve,
    // held fixed; the estimate is the largest of theirs. Null with a fixed grid.
    std::shared_ptr<const CurveModel> with_fixed_discretisation(
        std::span<const CurveRequest> curves, const RunControl& run,
        Discretisation& chosen) const override;

    // With the automatic grid (every entry zero): the accuracy times factor, at most the
    // loosest accepted, and propagators held to that accuracy times
    // relaxed_propagator_share instead of rounding level.
    std::shared_ptr<const CurveModel> with_relaxed_accuracy(double factor) const override;

    std::vector<std::string> grid_names() const override {
        return {"time_steps", "slices", "radial_nodes"};
    }

    // A sample thicker than a quarter of the Rayleigh range inside it (n0 z0 / 4): the model
    // keeps the beam's width at the sample's centre through its whole depth.
    std::vector<std::string> range_notes(const CurveRequest& request) const override;

    // Closed aperture: the crossing of the baseline between peak and valley; open: the
    // extremum.
    double focus_position(std::span<const double> positions_mm, std::span<const double> measured,
                          double aperture) const override;

    // The grid chosen for the accuracy at one curve, with its error estimate (the largest
    // error over the positions, in the curve's normalisation). The estimate compares the grid
    // with its halving in each dimension (for a closed aperture the radial error includes the
    // bound on the far field's truncated terms); when the search stops at its cell budget or on a
    // non-finite curve, the estimate exceeds the accuracy (or is NaN) and says so.
    PhysicalGrid choose_grid(const CurveRequest& request, const RunControl& run,
                             double& error_estimate) const;

    // The grid search's outcome: the grid, its error estimate, and when the search stopped at
    // max_cells the grid it would have needed next (all zero otherwise).
    struct GridChoice {
        PhysicalGrid grid{};
        double error_estimate = 0.0;
        PhysicalGrid wanted{};
    };
    GridChoice search(const CurveRequest& request, const RunControl& run) const;

    // Cells of one curve on the fixed grid, or the budget when the grid is chosen.
    double evaluation_cells(const CurveRequest& request) const override;

    const PhysicalConfig& config() const { return config_; }

  private:
    // std::invalid_argument when a curve on `grid` over `positions` would exceed max_cells.
    void refuse_beyond_budget(const PhysicalGrid& grid, std::size_t positions) const;

    PhysicalConfig config_;
    std::vector<ParameterSpec> specs_;
    PhysicalParameterLayout layout_;
};

}  // namespace plix::model
