// Public interface of the reentrant LSODA integrator (one fresh ODEPACK DLSODA call:
// ITOL = 1, ITASK = 1, ISTATE = 1, IOPT = 0, JT = 2). All state lives in the Solver
// object; nothing is global, nothing is allocated on the heap, nothing is printed.
#pragma once

#include <cstdint>

namespace plix::lsoda {

// How a call ended (ODEPACK's ISTATE in brackets).
enum class Status : std::uint8_t {
    success,               // TOUT reached, y interpolated at TOUT (2)
    excess_work,           // MXSTEP = 500 steps taken before TOUT (-1)
    excess_accuracy,       // more accuracy requested than the machine allows (-2)
    illegal_input,         // rejected before any step (-3)
    error_test_failures,   // repeated local error test failures on one step (-4)
    convergence_failures,  // repeated corrector convergence failures on one step (-5)
    zero_weight,           // an error weight became zero (-6)
    non_finite,            // the right-hand side returned a non-finite value
};
inline constexpr int status_count = 8;

// Short lower-case description, for warnings.
constexpr const char* describe(Status s) {
    switch (s) {
        case Status::success: return "success";
        case Status::excess_work: return "excess work (500 steps without reaching the end)";
        case Status::excess_accuracy: return "excess accuracy requested";
        case Status::illegal_input: return "illegal input";
        case Status::error_test_failures: return "repeated error test failures";
        case Status::convergence_failures: return "repeated convergence failures";
        case Status::zero_weight: return "an error weight became zero";
        case Status::non_finite: return "non-finite derivative";
    }
    return "unknown";
}

enum class Method : std::uint8_t { none = 0, adams = 1, bdf = 2 };

// ODEPACK's optional outputs after a call.
struct Stats {
    int nst = 0;   // successful steps
    int nfe = 0;   // right-hand side evaluations
    int nje = 0;   // Jacobian evaluations (each with one LU)
    int nqu = 0;   // order of the last successful step
    double hu = 0.0;    // size of the last successful step
    double tcur = 0.0;  // internal time reached
    double tsw = 0.0;   // time of the last method switch (t0 if none)
    Method mused = Method::none;  // method of the last successful step
};

struct Result {
    Status status = Status::illegal_input;
    double t = 0.0;  // TOUT on success, else the last internal time reached
    Stats stats;
};

}  // namespace plix::lsoda
