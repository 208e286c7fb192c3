#include "model/propagator_bound.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace plix::model {
namespace {

// The upper half of the ellipse is cut into this many equal arcs of the angle theta (even, so
// that theta = pi/2, the top, is an arc end); on each arc the bound takes the smallest real
// part and the largest imaginary part, which over-estimates |z| - Re z but never under-.
constexpr std::size_t ellipse_arcs = 16;

// rho is searched for over log(rho) in [log smallest_rho, log largest_rho] by golden section:
// the log of the bound is convex in log(rho) (a sum of convex terms), and any rho gives a
// valid bound, so a search that stops short only costs tightness.
constexpr double smallest_rho = 1.05;
constexpr double largest_rho = 1e9;
constexpr int golden_section_steps = 12;

struct ArcEnds {
    std::array<double, ellipse_arcs + 1> cosine;
    std::array<double, ellipse_arcs + 1> sine;
};

const ArcEnds& arc_ends() {
    static const ArcEnds ends = [] {
        ArcEnds e{};
        for (std::size_t i = 0; i <= ellipse_arcs; ++i) {
            const double theta = std::numbers::pi * static_cast<double>(i) / ellipse_arcs;
            e.cosine[i] = std::cos(theta);
            e.sine[i] = std::sin(theta);
        }
        e.cosine[ellipse_arcs / 2] = 0.0;
        e.sine[ellipse_arcs / 2] = 1.0;
        return e;
    }();
    return ends;
}

// |z| - Re z for z = x + iy, without cancellation where x > 0.
double modulus_excess(double x, double y) {
    const double modulus = std::sqrt(x * x + y * y);
    return x > 0.0 ? y * y / (modulus + x) : modulus - x;
}

// Log of the bound B(rho) on ||exp(M(z))||_1 over the Bernstein ellipse of parameter rho
// about [centre - half_width, centre + half_width].
double log_norm_on_ellipse(const LightCoupling& coupling, double centre, double half_width,
                           double rho) {
    const double real_axis = 0.5 * half_width * (rho + 1.0 / rho);
    const double imaginary_axis = 0.5 * half_width * (rho - 1.0 / rho);
    const ArcEnds& ends = arc_ends();
    double excess = 0.0;
    for (std::size_t i = 0; i < ellipse_arcs; ++i) {
        // cos decreases on [0, pi]: the arc's smallest real part is at its far end.
        const double x = centre + real_axis * ends.cosine[i + 1];
        const double y = imaginary_axis * std::max(ends.sine[i], ends.sine[i + 1]);
        excess = std::max(excess, modulus_excess(x, y));
    }
    return coupling.linear * excess + 2.0 * coupling.quadratic * imaginary_axis * imaginary_axis;
}

// Log of 4 B(rho) rho^-K / (rho - 1).
double log_bound_at(const LightCoupling& coupling, double centre, double half_width,
                    std::size_t degree, double log_rho) {
    const double rho = std::exp(log_rho);
    return std::log(4.0) + log_norm_on_ellipse(coupling, centre, half_width, rho) -
           static_cast<double>(degree) * log_rho - std::log(rho - 1.0);
}

// The smallest log bound found for the degree, and the log(rho) that gives it.
struct Minimum {
    double log_bound;
    double log_rho;
};

Minimum minimise_over_rho(const LightCoupling& coupling, double lower, double upper,
                          std::size_t degree) {
    const double centre = 0.5 * (lower + upper);
    const double half_width = 0.5 * (upper - lower);
    const auto f = [&](double log_rho) {
        return log_bound_at(coupling, centre, half_width, degree, log_rho);
    };
    const double golden = 0.5 * (std::sqrt(5.0) - 1.0);
    double a = std::log(smallest_rho);
    double b = std::log(largest_rho);
    double c = b - golden * (b - a);
    double d = a + golden * (b - a);
    double fc = f(c);
    double fd = f(d);
    for (int step = 0; step < golden_section_steps; ++step) {
        if (fc <= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - golden * (b - a);
            fc = f(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + golden * (b - a);
            fd = f(d);
        }
    }
    return fc <= fd ? Minimum{fc, c} : Minimum{fd, d};
}

}  // namespace

LightCoupling light_coupling(const SchemeRates& rates, double half_step) {
    // Column losses of the one- and two-photon parts of h A(I), per unit intensity.
    std::array<double, max_levels> linear{};
    std::array<double, max_levels> quadratic{};
    const double flux = rates.photon_flux_factor();
    for (const RateTerm& t : rates.terms()) {
        if (t.kind == ProcessKind::one_photon) linear[t.from] += t.coefficient * flux;
        if (t.kind == ProcessKind::two_photon) quadratic[t.from] += t.coefficient * flux * flux;
    }
    LightCoupling c;
    for (std::size_t l = 0; l < rates.levels(); ++l) {
        c.linear = std::max(c.linear, linear[l] * half_step);
        c.quadratic = std::max(c.quadratic, quadratic[l] * half_step);
    }
    return c;
}

double log_interpolation_bound(const LightCoupling& coupling, double lower, double upper,
                               std::size_t degree) {
    return minimise_over_rho(coupling, lower, upper, degree).log_bound;
}

std::optional<DegreeBound> smallest_degree(const LightCoupling& coupling, double lower,
                                           double upper, std::size_t max_degree,
                                           double tolerance) {
    const double log_tolerance = std::log(tolerance);
    const Minimum at_max = minimise_over_rho(coupling, lower, upper, max_degree);
    if (!(at_max.log_bound <= log_tolerance)) return std::nullopt;
    // Every rho gives a bound for every degree: at the rho found for max_degree the log bound
    // is L(rho) - K log rho, which names the smallest degree that reaches the tolerance there.
    // That rho suits max_degree rather than smaller degrees, so one degree less is tried with
    // its own rho.
    const double rest = at_max.log_bound + static_cast<double>(max_degree) * at_max.log_rho;
    std::size_t degree = static_cast<std::size_t>(
        std::clamp(std::ceil((rest - log_tolerance) / at_max.log_rho), 1.0,
                   static_cast<double>(max_degree)));
    double log_bound = rest - static_cast<double>(degree) * at_max.log_rho;
    while (degree > 1) {
        const double below = log_interpolation_bound(coupling, lower, upper, degree - 1);
        if (!(below <= log_tolerance)) break;
        --degree;
        log_bound = below;
    }
    return DegreeBound{degree, std::exp(log_bound)};
}

}  // namespace plix::model
