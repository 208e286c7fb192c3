#include "bindings/model_conversion.hpp"

#include <nanobind/stl/string.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nb = nanobind;

namespace plix::bindings {
namespace {

// The "ends" normalisation averages the first and the last five points.
constexpr std::size_t ends_points = 5;
// The slice count 1 has no slice thickness (the width is divided by z_slices - 1).
constexpr int min_t_slices = 2;
constexpr int min_z_slices = 2;
constexpr double max_accuracy = 0.1;

std::string text(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

[[noreturn]] void fail(std::string_view name, std::string_view what, double value) {
    throw nb::value_error(
        (std::string(name) + " must be " + std::string(what) + ", got " + text(value)).c_str());
}

double positive_finite(double value, std::string_view name, std::string_view unit) {
    if (!(std::isfinite(value) && value > 0.0))
        fail(name, "positive and finite (" + std::string(unit) + ")", value);
    return value;
}

nb::object attribute(nb::handle owner, const char* owner_name, const char* name) {
    if (!nb::hasattr(owner, name))
        throw nb::type_error((std::string(owner_name) + " has no attribute '" + name +
                              "': pass a plix." +
                              (std::string_view(owner_name) == "setup" ? "Setup" : "Model"))
                                 .c_str());
    return nb::getattr(owner, name);
}

double real_attribute(nb::handle owner, const char* owner_name, const char* name) {
    try {
        return nb::cast<double>(attribute(owner, owner_name, name));
    } catch (const nb::cast_error&) {
        throw nb::type_error(
            (std::string(owner_name) + "." + name + " must be a real number").c_str());
    }
}

int int_attribute(nb::handle owner, const char* owner_name, const char* name) {
    try {
        return nb::cast<int>(attribute(owner, owner_name, name));
    } catch (const nb::cast_error&) {
        throw nb::type_error((std::string(owner_name) + "." + name + " must be an int").c_str());
    }
}

std::string string_attribute(nb::handle owner, const char* owner_name, const char* name) {
    try {
        return nb::cast<std::string>(attribute(owner, owner_name, name));
    } catch (const nb::cast_error&) {
        throw nb::type_error((std::string(owner_name) + "." + name + " must be a str").c_str());
    }
}

model::Populations populations_from_python(nb::handle setup) {
    const nb::object values = attribute(setup, "setup", "populations");
    if (nb::len(values) != model::level_count)
        throw nb::value_error(("setup.populations must hold " + std::to_string(model::level_count) +
                               " numbers (m^-3), got " + std::to_string(nb::len(values)))
                                  .c_str());
    model::Populations populations{};
    for (std::size_t k = 0; k < model::level_count; ++k) {
        const double n = nb::cast<double>(values[k]);
        if (!(std::isfinite(n) && n >= 0.0))
            fail("setup.populations[" + std::to_string(k) + "]", "finite and >= 0 (m^-3)", n);
        populations[k] = n;
    }
    return populations;
}

model::Normalisation normalisation_from(const std::string& name) {
    if (name == "ends") return model::Normalisation::ends;
    if (name == "linear") return model::Normalisation::linear;
    if (name == "none") return model::Normalisation::none;
    throw nb::value_error(
        ("model.normalisation must be 'linear', 'ends' or 'none', got '" + name + "'").c_str());
}

model::Stepper stepper_from(const std::string& name) {
    if (name == "lsoda") return model::Stepper::lsoda;
    if (name == "exact") return model::Stepper::exact;
    throw nb::value_error(
        ("model.integrator must be 'lsoda' or 'exact', got '" + name + "'").c_str());
}

model::Geometry geometry_from(const std::string& name) {
    if (name == "beam") return model::Geometry::beam;
    if (name == "on_axis") return model::Geometry::on_axis;
    throw nb::value_error(
        ("model.geometry must be 'beam' or 'on_axis', got '" + name + "'").c_str());
}

model::SeedModel seed_from_python(nb::handle model) {
    model::SeedModel seed;
    seed.stepper = stepper_from(string_attribute(model, "model", "integrator"));
    seed.t_slices = int_attribute(model, "model", "t_slices");
    seed.z_slices = int_attribute(model, "model", "z_slices");
    seed.normalisation = normalisation_from(string_attribute(model, "model", "normalisation"));
    if (seed.t_slices < min_t_slices)
        fail("model.t_slices", "at least " + std::to_string(min_t_slices), seed.t_slices);
    if (seed.z_slices != 0 && seed.z_slices < min_z_slices)
        fail("model.z_slices", "0 or at least " + std::to_string(min_z_slices), seed.z_slices);
    return seed;
}

model::PhysicalGrid grid_from_python(nb::handle grid) {
    constexpr std::size_t grid_entries = 3;
    if (grid.is_none()) return {};
    if (nb::len(grid) != grid_entries)
        throw nb::value_error("model.grid must be None or (time_steps, slices, radial_nodes)");
    const model::PhysicalGrid result{nb::cast<int>(grid[0]), nb::cast<int>(grid[1]),
                                     nb::cast<int>(grid[2])};
    if (result.time_steps < 1 || result.slices < 1 || result.radial_nodes < 1)
        throw nb::value_error("model.grid entries must all be >= 1");
    return result;
}

model::PhysicalModel physical_from_python(nb::handle model) {
    model::PhysicalModel physical;
    physical.geometry = geometry_from(string_attribute(model, "model", "geometry"));
    physical.accuracy = real_attribute(model, "model", "accuracy");
    physical.normalisation = normalisation_from(string_attribute(model, "model", "normalisation"));
    physical.grid = grid_from_python(attribute(model, "model", "grid"));
    if (!(physical.accuracy > 0.0 && physical.accuracy <= max_accuracy))
        fail("model.accuracy", "in (0, " + text(max_accuracy) + "]", physical.accuracy);
    return physical;
}

}  // namespace

model::Setup setup_from_python(nb::handle setup) {
    model::Setup result;
    result.wavelength =
        positive_finite(real_attribute(setup, "setup", "wavelength"), "setup.wavelength", "m");
    result.w0 = positive_finite(real_attribute(setup, "setup", "w0"), "setup.w0", "m");
    result.tau = positive_finite(real_attribute(setup, "setup", "tau"), "setup.tau", "s");
    result.sample_width =
        positive_finite(real_attribute(setup, "setup", "sample_width"), "setup.sample_width", "m");
    result.M2 = positive_finite(real_attribute(setup, "setup", "M2"), "setup.M2", "1");
    result.populations = populations_from_python(setup);
    return result;
}

model::ModelSpec model_from_python(nb::handle model) {
    const std::string kind = string_attribute(model, "model", "kind");
    if (kind == "seed") return seed_from_python(model);
    if (kind == "physical") return physical_from_python(model);
    throw nb::value_error(("model.kind must be 'seed' or 'physical', got '" + kind + "'").c_str());
}

void check_parameters(const model::ParameterVector& params) {
    for (std::size_t k = 0; k < model::parameter_count; ++k) {
        const std::string name = "params." + std::string(model::parameter_names[k]);
        const double value = params[k];
        if (k < model::cross_section_count) {
            if (!(std::isfinite(value) && value >= 0.0)) fail(name, "finite and >= 0 (m^2)", value);
        } else if (!(value > 0.0)) {
            fail(name, "> 0 (s; inf switches the channel off)", value);
        }
    }
}

void check_positions(std::span<const double> positions_mm, const model::ModelSpec& model) {
    for (std::size_t i = 0; i < positions_mm.size(); ++i)
        if (!std::isfinite(positions_mm[i]))
            fail("positions_mm[" + std::to_string(i) + "]", "finite (mm)", positions_mm[i]);
    const auto normalisation = std::visit([](const auto& m) { return m.normalisation; }, model);
    const std::size_t needed = normalisation == model::Normalisation::ends ? ends_points : 1;
    if (positions_mm.size() < needed)
        throw nb::value_error(("positions_mm needs at least " + std::to_string(needed) +
                               " positions" + (needed > 1 ? " for the 'ends' normalisation" : "") +
                               ", got " + std::to_string(positions_mm.size()))
                                  .c_str());
}

void check_energy(double energy, const char* name) { positive_finite(energy, name, "J"); }

unsigned check_threads(int threads) {
    if (threads < 1) fail("threads", "at least 1", threads);
    return static_cast<unsigned>(threads);
}

}  // namespace plix::bindings
