// Counts of integrator calls by how they ended, so that callers can report trouble.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "integrator/lsoda.hpp"

namespace plix::model {

struct IntegrationTally {
    std::array<std::uint64_t, lsoda::status_count> by_status{};

    void record(lsoda::Status s) { ++by_status[static_cast<std::size_t>(s)]; }

    void merge(const IntegrationTally& other) {
        for (std::size_t k = 0; k < by_status.size(); ++k) by_status[k] += other.by_status[k];
    }

    std::uint64_t count(lsoda::Status s) const { return by_status[static_cast<std::size_t>(s)]; }

    // Integrations that did not reach their end point.
    std::uint64_t ended_early() const {
        std::uint64_t n = 0;
        for (std::size_t k = 0; k < by_status.size(); ++k)
            if (k != static_cast<std::size_t>(lsoda::Status::success)) n += by_status[k];
        return n;
    }
};

}  // namespace plix::model
