// plix._core's model functions: curves for several pulse energies, and the automatic grid
// of the physical model.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bindings/model_conversion.hpp"
#include "bindings/registration.hpp"
#include "model/curve_model.hpp"
#include "model/model_layout.hpp"
#include "model/physical_curve.hpp"

namespace nb = nanobind;

namespace plix::bindings {
namespace {

using InputVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CurveArray = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

std::vector<double> copy_of(const InputVector& values) {
    return {values.data(), values.data() + values.shape(0)};
}

nb::tuple grid_tuple(const model::PhysicalGrid& grid) {
    return nb::make_tuple(grid.time_steps, grid.slices, grid.radial_nodes);
}

// Everything one call needs, converted and checked while the interpreter lock is held.
struct CurvesProblem {
    model::ModelSpec model;
    model::Setup setup;
    model::ParameterVector params;
    std::vector<double> positions_mm;
    std::vector<double> energies;
    unsigned threads = 1;
};

CurvesProblem curves_problem(nb::handle setup, const model::ParameterVector& params,
                             const InputVector& positions_mm, const InputVector& energies,
                             nb::handle model, int threads) {
    CurvesProblem problem{
        model_from_python(model), setup_from_python(setup), params,
        copy_of(positions_mm),    copy_of(energies),        check_threads(threads)};
    check_parameters(problem.params);
    check_positions(problem.positions_mm, problem.model);
    if (problem.energies.empty()) throw nb::value_error("energies_J must not be empty");
    for (const double energy : problem.energies) check_energy(energy, "energies_J");
    return problem;
}

// One model_curve call per energy into the rows of `out`; the report of each goes to
// `reports`. Runs without the interpreter lock.
void evaluate_curves(const CurvesProblem& problem, std::span<double> out,
                     std::span<model::CurveReport> reports) {
    const std::size_t nx = problem.positions_mm.size();
    for (std::size_t e = 0; e < problem.energies.size(); ++e) {
        const model::CurveRequest request{problem.setup, problem.params, problem.positions_mm,
                                          problem.energies[e]};
        model::model_curve(problem.model, request, out.subspan(e * nx, nx), problem.threads,
                           reports[e]);
    }
}

nb::tuple model_curves(nb::handle setup, const model::ParameterVector& params,
                       const InputVector& positions_mm, const InputVector& energies,
                       nb::handle model, int threads) {
    const CurvesProblem problem =
        curves_problem(setup, params, positions_mm, energies, model, threads);
    const std::size_t ne = problem.energies.size();
    const std::size_t nx = problem.positions_mm.size();

    auto buffer = std::make_unique<double[]>(ne * nx);
    double* const data = buffer.get();
    const nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    buffer.release();  // owned by the capsule from here on
    std::vector<model::CurveReport> reports(ne);
    {
        const nb::gil_scoped_release unlocked;
        evaluate_curves(problem, {data, ne * nx}, reports);
    }

    nb::list grids;
    nb::list errors;
    std::uint64_t ended_early = 0;
    for (const model::CurveReport& report : reports) {
        grids.append(grid_tuple(report.grid));
        errors.append(report.error_estimate);
        ended_early += report.tally.ended_early();
    }
    return nb::make_tuple(CurveArray(data, {ne, nx}, owner), grids, errors, ended_early);
}

nb::tuple physical_grid(nb::handle setup, const model::ParameterVector& params,
                        const InputVector& positions_mm, double energy, nb::handle model,
                        int threads) {
    const model::ModelSpec spec = model_from_python(model);
    const auto* physical = std::get_if<model::PhysicalModel>(&spec);
    if (physical == nullptr) throw nb::value_error("model must be a physical model");
    const model::Setup checked_setup = setup_from_python(setup);
    check_parameters(params);
    const std::vector<double> positions = copy_of(positions_mm);
    check_positions(positions, spec);
    check_energy(energy, "energy_J");
    const unsigned workers = check_threads(threads);

    double error_estimate = 0.0;
    model::PhysicalGrid grid;
    {
        const nb::gil_scoped_release unlocked;
        const model::CurveRequest request{checked_setup, params, positions, energy};
        grid = model::choose_physical_grid(*physical, request, workers, error_estimate);
    }
    return nb::make_tuple(grid_tuple(grid), error_estimate);
}

nb::tuple names_of_parameters() {
    nb::list names;
    for (const auto name : model::parameter_names) names.append(nb::str(name.data(), name.size()));
    return nb::tuple(names);
}

}  // namespace

void register_model(nb::module_& m) {
    m.attr("parameter_names") = names_of_parameters();
    m.attr("level_count") = model::level_count;

    m.def("model_curves", &model_curves, nb::arg("setup"), nb::arg("params"),
          nb::arg("positions_mm"), nb::arg("energies_J"), nb::arg("model"), nb::arg("threads"),
          "model_curves(setup, params, positions_mm, energies_J, model, threads)\n\n"
          "Normalised transmittance, shape (len(energies_J), len(positions_mm)), with the\n"
          "grid (time_steps, slices, radial_nodes) and error estimate of each row and the\n"
          "number of integrations that ended early. Inputs as plix.simulate; use that.");
    m.def("physical_grid", &physical_grid, nb::arg("setup"), nb::arg("params"),
          nb::arg("positions_mm"), nb::arg("energy_J"), nb::arg("model"), nb::arg("threads"),
          "physical_grid(setup, params, positions_mm, energy_J, model, threads)\n\n"
          "The grid (time_steps, slices, radial_nodes) that the physical model chooses for\n"
          "its accuracy at one curve, and that grid's error estimate.");
}

}  // namespace plix::bindings
