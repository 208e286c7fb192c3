// What every model of a Z-scan curve provides, so that simulation and fitting can treat
// them alike: its parameters, its curve for one dataset, what it fixes before a fit, and
// how it finds the focus of a measured scan.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model/integration_tally.hpp"
#include "model/run_control.hpp"

namespace plix::model {

// The experiment, SI units.
struct Setup {
    double wavelength = 0.0;    // m
    double w0 = 0.0;            // beam waist radius (1/e^2 of the intensity), m
    double tau = 0.0;           // pulse half-width at 1/e of the intensity, s
    double sample_width = 0.0;  // m
    double M2 = 1.0;            // beam quality; divides the Rayleigh range
    double n0 = 1.0;            // linear refractive index of the sample
    std::vector<double> populations;  // initial population of each level, m^-3

    // pi w0^2 / (M2 wavelength), m.
    double rayleigh_range() const;
};

// How a model parameter is checked, shown and fitted.
struct ParameterSpec {
    std::string name;
    std::string unit;         // SI, as text ("m^2", "s", "m/W")
    std::string symbol;       // for figures, in TeX ("\\sigma_{12}")
    std::string description;  // a few words ("cross-section 1 -> 2")
    double lowest = 0.0;      // the smallest value the model accepts ...
    bool lowest_included = true;  // ... itself accepted (false: only values above it)
    bool infinity_allowed = false;  // +inf accepted (a lifetime: the channel is off)
    // The bounds a fit uses unless told otherwise; (0, inf) is explored in log space.
    double fit_min = 0.0;
    double fit_max = std::numeric_limits<double>::infinity();
    // The value when none is given; NaN: the parameter must be given.
    double default_value = std::numeric_limits<double>::quiet_NaN();

    bool log_scale() const {
        return fit_min == 0.0 && fit_max == std::numeric_limits<double>::infinity();
    }
};

// The aperture transmittance of an open-aperture dataset (all the light reaches the
// detector).
inline constexpr double open_aperture = 1.0;

// One curve: the scan positions in mm (distance of the sample from the focus, used as
// given), the pulse energy in J (or one per position), and the aperture.
struct CurveRequest {
    const Setup& setup;
    std::span<const double> params;  // in the order of the model's parameters()
    std::span<const double> positions_mm;
    double energy = 0.0;
    std::span<const double> point_energies = {};  // empty, or one energy per position
    double aperture = open_aperture;

    double energy_at(std::size_t i) const {
        return point_energies.empty() ? energy : point_energies[i];
    }
};

// What a model fixes for a fit (the grid of a numerical model) and the estimated error of
// its curves on it; an empty grid when the model fixes nothing.
struct Discretisation {
    std::vector<int> grid;
    double error_estimate = std::numeric_limits<double>::quiet_NaN();
    // When the model's cost budget stopped it short of the accuracy: the grid it would need
    // (empty otherwise).
    std::vector<int> wanted;
};

// What one evaluation reports besides the curve.
struct CurveReport {
    IntegrationTally tally;  // integrator calls by how they ended (LSODA models)
    Discretisation used;     // the grid used and its error estimate, where the model has one
};


class CurveModel {
  public:
    virtual ~CurveModel() = default;

    // The parameters in the order of CurveRequest::params.
    virtual const std::vector<ParameterSpec>& parameters() const = 0;

    // Initial populations the set-up must give (one per level; 0: none).
    virtual std::size_t levels() const { return 0; }

    // Whether curves through a closed aperture (CurveRequest::aperture < 1) can be computed.
    virtual bool closed_aperture() const { return false; }

    // The peak intensity the model applies per physical peak 2E / (pi^(3/2) w0^2 tau) of a
    // pulse of energy E: 1 for a model of the real beam. Checks of the pulse energy against
    // what samples survive use it.
    virtual double intensity_scale() const { return 1.0; }

    // Writes the curve at every position into out (out.size() == positions). Inputs are
    // checked by the callers: finite positions, positive finite energies and lengths,
    // parameters within their specs, populations matching levels(). Long work calls
    // run.checkpoint() often enough to stop within about 100 ms (it throws Interrupted).
    virtual void curve(const CurveRequest& request, std::span<double> out, const RunControl& run,
                       CurveReport& report) const = 0;

    // Before a fit: a copy of this model whose discretisation is chosen for the given curves
    // and then held fixed, so that the curves are smooth functions of the parameters; null
    // when the model has nothing to choose. `chosen` receives the grid and its estimate.
    virtual std::shared_ptr<const CurveModel> with_fixed_discretisation(
        std::span<const CurveRequest> curves, const RunControl& run, Discretisation& chosen) const;

    // A copy of this model that chooses its discretisation for an accuracy `factor` times
    // looser (cheaper curves for exploring the parameter space before the final search); null
    // when the model has no accuracy to relax (a closed form, a fixed grid, one already at its
    // loosest).
    virtual std::shared_ptr<const CurveModel> with_relaxed_accuracy(double /*factor*/) const {
        return nullptr;
    }

    // What the entries of Discretisation::grid count.
    virtual std::vector<std::string> grid_names() const { return {}; }

    // The work of one curve in the model's own unit of cost (for the numerical models, cells
    // of the grid), an upper bound when the model chooses its grid; 0 for closed forms.
    virtual double evaluation_cells(const CurveRequest& /*request*/) const { return 0.0; }

    // Why the model's curve for this request is not to be trusted, as sentences that name the
    // quantity and the limit (a closed form used outside its range, a sample that is not
    // thin, ...); empty when there is nothing to say. A fit warns with them at its solution.
    virtual std::vector<std::string> range_notes(const CurveRequest& /*request*/) const {
        return {};
    }

    // The position (mm) of the focus in a measured dataset, subtracted from its positions
    // when a fit centres the scan. The default takes the extremum of the data: the minimum of
    // a dip, the maximum of a peak, told apart by which lies farther from the mean of the five
    // points at either end (positions sorted).
    virtual double focus_position(std::span<const double> positions_mm,
                                  std::span<const double> measured, double aperture) const;
};

// The extremum rule of CurveModel::focus_position.
double extremum_position(std::span<const double> positions_mm, std::span<const double> measured);

// The focus of a closed-aperture scan: where the curve crosses its baseline (the mean of the
// five points at either end, positions sorted) between its peak and its valley, linearly
// interpolated; the extremum rule when the curve has no such crossing.
double peak_valley_crossing(std::span<const double> positions_mm,
                            std::span<const double> measured);

}  // namespace plix::model
