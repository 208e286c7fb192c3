// Runs code compiled for a fixed level count, chosen at run time.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <utility>

#include "model/level_scheme.hpp"

namespace plix::model {

namespace dispatch_detail {
template <std::size_t N, class Body>
decltype(auto) dispatch(std::size_t levels, Body&& body) {
    if constexpr (N == max_levels) {
        if (levels != N) throw std::invalid_argument("level count outside 1 .. max_levels");
        return std::forward<Body>(body).template operator()<N>();
    } else {
        if (levels == N) return std::forward<Body>(body).template operator()<N>();
        return dispatch<N + 1>(levels, std::forward<Body>(body));
    }
}
}  // namespace dispatch_detail

// body.template operator()<N>() with N == levels, for levels in 1 .. max_levels.
template <class Body>
decltype(auto) with_levels(std::size_t levels, Body&& body) {
    return dispatch_detail::dispatch<1>(levels, std::forward<Body>(body));
}

}  // namespace plix::model
