// Read-only view of a two-dimensional table with arbitrary element strides.
#pragma once

#include <cstddef>

namespace plix::model {

struct PlaneView {
    const double* data = nullptr;
    std::size_t rows = 0;           // first extent (scan positions)
    std::size_t cols = 0;           // second extent (time points)
    std::ptrdiff_t row_stride = 1;  // element step between consecutive rows
    std::ptrdiff_t col_stride = 0;  // element step between consecutive columns

    // Column-major plane of rows x cols contiguous doubles.
    static PlaneView column_major(const double* data, std::size_t rows, std::size_t cols) {
        return {data, rows, cols, 1, static_cast<std::ptrdiff_t>(rows)};
    }

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }
};

}  // namespace plix::model
