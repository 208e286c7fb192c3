#include "compat/fit_context.hpp"

namespace plix::compat {

model::PlaneView FitContext::incident_plane(std::int32_t d) const {
    const auto nx = static_cast<std::size_t>(num_x_pts);
    const std::size_t nt = time_grid.size();
    return model::PlaneView::column_major(incident_intensity.data() + d * nx * nt, nx, nt);
}

void FitContext::evaluate_dataset(std::int32_t d, std::span<const double, 8> p) {
    const auto nx = static_cast<std::size_t>(num_x_pts);
    const std::size_t lo = static_cast<std::size_t>(d) * nx;
    model(std::span<double>(model_values).subspan(lo, nx), positions.subspan(lo, nx), depth_grid,
          time_grid, populations, incident_plane(d), photon_frequency, p, *tally);
}

void FitContext::clear() {
    positions = {};
    measured = {};
    base_params = {};
    depth_grid = {};
    time_grid = {};
    populations = {};
    incident_intensity = {};
    std::vector<std::int32_t>().swap(fit_index);
    model = nullptr;
    std::vector<double>().swap(model_values);
    evaluations = nullptr;
    tally = nullptr;
    interrupt = {};
    failure = nullptr;
}

FitContext& fit_context() {
    thread_local FitContext context;
    return context;
}

}  // namespace plix::compat
