// The rate equations of a level scheme at one parameter vector: the rate matrix at a given
// intensity, the right-hand side for an integrator, and the absorption coefficient.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model/level_scheme.hpp"
#include "model/matrix_exponential.hpp"

namespace plix::model {

// One process with its coefficient: 1/lifetime (1/s), sigma (m^2) or sigma2 / 2 (m^4 s).
struct RateTerm {
    ProcessKind kind;
    std::size_t from;
    std::size_t to;
    double coefficient;
};

// A term of one level's equation: the process and whether it feeds (+) or drains (-) it.
struct LevelTerm {
    std::size_t term;
    bool gain;
};

class SchemeRates {
  public:
    // `values` holds the value of every parameter named by the scheme, indexed as
    // parameter_index[k] says for process k. photon_flux_factor is 1/(h nu) in 1/J.
    SchemeRates(const LevelScheme& scheme, std::span<const std::size_t> parameter_index,
                std::span<const double> values, double photon_flux_factor);

    std::size_t levels() const { return levels_; }
    double photon_flux_factor() const { return photon_flux_factor_; }
    const std::vector<RateTerm>& terms() const { return terms_; }
    // Whether any process is two-photon (the absorption then depends on the intensity).
    bool two_photon() const { return two_photon_; }

    // The same scheme with the light's pumping switched off: only the decays act.
    SchemeRates without_light() const {
        SchemeRates dark = *this;
        dark.photon_flux_factor_ = 0.0;
        return dark;
    }

    // The rate of a term at the photon flux phi = photon_flux_factor * I (photons/(m^2 s)).
    static double rate(const RateTerm& t, double phi) {
        switch (t.kind) {
            case ProcessKind::one_photon:
                return t.coefficient * phi;
            case ProcessKind::two_photon:
                return t.coefficient * (phi * phi);
            case ProcessKind::decay:
                break;
        }
        return t.coefficient;
    }

    // A with dN/dt = A N at the fixed intensity (W/m^2): entry (row, column) is the rate into
    // level `row` from level `column`; every column sums to zero (population is conserved).
    // Each diagonal entry is minus the sum of its level's losses in process order.
    template <std::size_t N>
    void rate_matrix(double intensity, Matrix<N>& a) const {
        const double phi = photon_flux_factor_ * intensity;
        a.fill(0.0);
        Vector<N> loss{};
        for (const RateTerm& t : terms_) {
            const double k = rate(t, phi);
            a[t.to * N + t.from] += k;
            loss[t.from] += k;
        }
        for (std::size_t l = 0; l < N; ++l) a[l * N + l] = -loss[l];
    }

    // dN/dt for y = (N_1..N_L, I) into ydot[0..L): each level's terms summed in process order.
    void derivatives(const double* y, double* ydot) const {
        const double phi = photon_flux_factor_ * y[levels_];
        for (std::size_t l = 0; l < levels_; ++l) {
            const std::size_t begin = level_begin_[l];
            const std::size_t end = level_begin_[l + 1];
            double sum = 0.0;
            for (std::size_t k = begin; k < end; ++k) {
                const RateTerm& t = terms_[level_terms_[k].term];
                const double flow = rate(t, phi) * y[t.from];
                sum = k == begin ? (level_terms_[k].gain ? flow : -flow)
                                 : (level_terms_[k].gain ? sum + flow : sum - flow);
            }
            ydot[l] = sum;
        }
    }

    // Absorption coefficient (1/m) of the populations n[0..L) at the photon flux phi: the
    // one-photon cross-sections times their lower levels in process order, and for each
    // two-photon transition 2 (sigma2 / 2) N phi (two photons per event).
    double absorption(const double* n, double phi) const {
        double alpha = 0.0;
        bool first = true;
        for (const RateTerm& t : terms_) {
            if (t.kind == ProcessKind::decay) continue;
            const double a = t.kind == ProcessKind::one_photon
                                 ? t.coefficient * n[t.from]
                                 : 2.0 * t.coefficient * n[t.from] * phi;
            alpha = first ? a : alpha + a;
            first = false;
        }
        return alpha;
    }

  private:
    std::size_t levels_;
    double photon_flux_factor_;
    bool two_photon_ = false;
    std::vector<RateTerm> terms_;
    std::vector<LevelTerm> level_terms_;     // grouped by level, process order within
    std::vector<std::size_t> level_begin_;   // levels + 1 offsets into level_terms_
};

// The LSODA right-hand sides of the seed stepper for a scheme: populations with the
// intensity riding along, and the attenuation with the populations riding along.
struct SchemePopulationRhs {
    const SchemeRates* rates;
    void operator()(double /*t*/, const double* y, double* ydot) const {
        rates->derivatives(y, ydot);
    }
};

struct SchemeAttenuationRhs {
    const SchemeRates* rates;
    void operator()(double /*t*/, const double* y, double* ydot) const {
        ydot[0] = -y[0] * rates->absorption(y + 1, rates->photon_flux_factor() * y[0]);
    }
};

}  // namespace plix::model
