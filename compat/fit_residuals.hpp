// The weighted residual function that the least-squares search evaluates.
#pragma once

namespace plix::compat {

// MINPACK residual callback: scatters the trial values x into the parameter vector of the
// calling thread's fit context, evaluates the model for every dataset and writes
// fvec[k] = sqrt(w_k) * (measured_k - model_k) with w = 1 + 4 exp(-4 z^2), z in metres.
// The counts m and n and the flag are not used; it returns 0 (go on), or -1 (stop) after
// storing an exception in the context: std::bad_alloc from the model, or FitInterrupted
// when the context's interrupt poll asks to stop (asked before each evaluation).
int fit_residuals(void* unused, int m, int n, const double* x, double* fvec, int iflag);

// Residual weight of a position z in metres.
double residual_weight(double z);

}  // namespace plix::compat
