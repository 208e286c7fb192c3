from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt


def fit_zscan(
    x_data: npt.NDArray[np.float64],
    y_data: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    t_slices: SupportsInt,
    z_slices: SupportsInt,
    sample_width: SupportsFloat | SupportsIndex,
    tau: SupportsFloat | SupportsIndex,
    wavelength: SupportsFloat | SupportsIndex,
    w0: SupportsFloat | SupportsIndex,
    M2: SupportsFloat | SupportsIndex,
    pulse_energy: npt.NDArray[np.float64],
    spec_pars: npt.NDArray[np.float64],
    fit_indices: npt.NDArray[np.int32],
    num_x_pts: SupportsInt,
    num_datasets: SupportsInt,
    is_sa: Any = False,
    n_starts: SupportsInt = 3,
) -> tuple[npt.NDArray[np.float64], float, npt.NDArray[np.float64]]:
    """
    Fit z-scan data with multi-start parallel optimization.

    Parameters:
        fit_indices: 0-indexed array of spec_pars indices to fit (e.g., [0, 2, 5] for pars 0, 2, 5).
                     Valid range: 0-7 (will be converted to 1-indexed Fortran indices).
        is_sa: Whether sample is saturable absorber (SA) vs reverse saturable absorber (RSA).
               SA centers around max of y_data, RSA centers around min of y_data.
               Default False (RSA).
        n_starts: Number of starting points (default=3)
                  Starting values: spec_pars[fit_indices] * [0.7, 1.0, 1.3, ...]

    Returns:
        residuals, error, spec_pars (best result)
    """
