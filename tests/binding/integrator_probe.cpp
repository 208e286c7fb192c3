// Test access to the LSODA integrator: one fresh integrate() call with a Python right-hand
// side (lsoda) or with a built-in C++ right-hand side, run without the GIL (lsoda_builtin).
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "integrator/lsoda.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

using lsoda::Result;
using lsoda::Status;

constexpr int max_neq = 5;

bool read_doubles(PyObject* seq, std::vector<double>& out, const char* what) {
    PyObject* fast = PySequence_Fast(seq, what);
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[static_cast<std::size_t>(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
    }
    Py_DECREF(fast);
    return !PyErr_Occurred();
}

PyObject* result_dict(const Result& r, const std::vector<double>& y) {
    PyObject* ylist = to_list(y);
    if (ylist == nullptr) return nullptr;
    return Py_BuildValue("{s:N,s:d,s:s,s:i,s:i,s:i,s:i,s:d,s:d,s:d,s:i}", "y", ylist, "t", r.t,
                         "status", status_names[static_cast<std::size_t>(r.status)], "nst", r.stats.nst, "nfe", r.stats.nfe,
                         "nje", r.stats.nje, "nqu", r.stats.nqu, "hu", r.stats.hu, "tcur",
                         r.stats.tcur, "tsw", r.stats.tsw, "mused",
                         static_cast<int>(r.stats.mused));
}

// Calls f(t, y) with the whole state list. A Python error is kept and turned into a
// non-finite derivative, which ends the integration.
template <int N>
struct PythonRhs {
    PyObject* f;
    std::size_t size;  // length of the caller's state, N integrated entries included
    bool failed = false;

    void operator()(double t, const double* y, double* ydot) {
        if (!failed) failed = !call(t, y, ydot);
        if (failed) {
            for (int i = 0; i < N; ++i) ydot[i] = std::numeric_limits<double>::quiet_NaN();
        }
    }

    bool call(double t, const double* y, double* ydot) const {
        PyObject* ylist = to_list(std::span<const double>(y, size));
        if (ylist == nullptr) return false;
        PyObject* value = PyObject_CallFunction(f, "dN", t, ylist);
        if (value == nullptr) return false;
        std::vector<double> out;
        const bool ok = read_doubles(value, out, "f must return a sequence");
        Py_DECREF(value);
        if (!ok) return false;
        if (out.size() != static_cast<std::size_t>(N)) {
            PyErr_Format(PyExc_ValueError, "f returned %zd values, expected %d",
                         static_cast<Py_ssize_t>(out.size()), N);
            return false;
        }
        std::memcpy(ydot, out.data(), sizeof(double) * N);
        return true;
    }
};

struct Problem {
    std::vector<double> y;
    double t0, tout, rtol, atol;
};

template <int N>
PyObject* integrate_python(PyObject* f, Problem& p) {
    PythonRhs<N> rhs{f, p.y.size()};
    lsoda::Solver<N> solver;
    const Result r = solver.integrate(rhs, p.y.data(), p.t0, p.tout, p.rtol, p.atol);
    if (rhs.failed) return nullptr;  // re-raise the error from f
    return result_dict(r, p.y);
}

PyObject* lsoda_python(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"f", "y0", "tout", "rtol", "atol", "t0", "neq", nullptr};
    PyObject* f = nullptr;
    PyObject* y0 = nullptr;
    Problem p{{}, 0.0, 0.0, 0.0, 0.0};
    int neq = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOddd|di", const_cast<char**>(keywords), &f,
                                     &y0, &p.tout, &p.rtol, &p.atol, &p.t0, &neq))
        return nullptr;
    if (!PyCallable_Check(f)) {
        PyErr_SetString(PyExc_TypeError, "f must be callable");
        return nullptr;
    }
    if (!read_doubles(y0, p.y, "y0 must be a sequence")) return nullptr;
    if (neq == 0) neq = static_cast<int>(p.y.size());
    if (neq < 1 || neq > max_neq || static_cast<std::size_t>(neq) > p.y.size()) {
        PyErr_SetString(PyExc_ValueError, "need 1 <= neq <= 5 and neq <= len(y0)");
        return nullptr;
    }
    switch (neq) {
        case 1:
            return integrate_python<1>(f, p);
        case 2:
            return integrate_python<2>(f, p);
        case 3:
            return integrate_python<3>(f, p);
        case 4:
            return integrate_python<4>(f, p);
        default:
            return integrate_python<5>(f, p);
    }
}

// ---- built-in right-hand sides ----------------------------------------------------------

// Five-level populations N1..N5 in y[0..5) driven by the intensity y[5], which rides along.
// params: s12, s23, s45, photon-flux factor, lifetimes t21, t24, t32, t41, t54.
struct Population {
    static constexpr int neq = 5, nparams = 9, min_size = 6;
    double s12, s23, s45, ff, r21, r24, r32, r41, r54;
    explicit Population(const double* q)
        : s12(q[0]),
          s23(q[1]),
          s45(q[2]),
          ff(q[3]),
          r21(1.0 / q[4]),
          r24(1.0 / q[5]),
          r32(1.0 / q[6]),
          r41(1.0 / q[7]),
          r54(1.0 / q[8]) {}
    void operator()(double, const double* y, double* d) const {
        const double phi = ff * y[5];
        d[0] = r21 * y[1] - s12 * phi * y[0] + r41 * y[3];
        d[1] = s12 * phi * y[0] + r32 * y[2] - r21 * y[1] - r24 * y[1] - s23 * phi * y[1];
        d[2] = s23 * phi * y[1] - r32 * y[2];
        d[3] = r24 * y[1] - r41 * y[3] - s45 * phi * y[3] + r54 * y[4];
        d[4] = s45 * phi * y[3] - r54 * y[4];
    }
};

// Intensity y[0] attenuated by the populations y[1..6), which ride along.
// params: s12, s23, s45.
struct Attenuation {
    static constexpr int neq = 1, nparams = 3, min_size = 6;
    double s12, s23, s45;
    explicit Attenuation(const double* q) : s12(q[0]), s23(q[1]), s45(q[2]) {}
    void operator()(double, const double* y, double* d) const {
        d[0] = -y[0] * (s12 * y[1] + s23 * y[2] + s45 * y[4]);
    }
};

struct Robertson {
    static constexpr int neq = 3, nparams = 0, min_size = 3;
    explicit Robertson(const double*) {}
    void operator()(double, const double* y, double* d) const {
        d[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
        d[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
        d[2] = 3e7 * y[1] * y[1];
    }
};

// params: mu.
struct VanDerPol {
    static constexpr int neq = 2, nparams = 1, min_size = 2;
    double mu;
    explicit VanDerPol(const double* q) : mu(q[0]) {}
    void operator()(double, const double* y, double* d) const {
        d[0] = y[1];
        d[1] = mu * (1.0 - y[0] * y[0]) * y[1] - y[0];
    }
};

struct Harmonic {
    static constexpr int neq = 2, nparams = 0, min_size = 2;
    explicit Harmonic(const double*) {}
    void operator()(double, const double* y, double* d) const {
        d[0] = y[1];
        d[1] = -y[0];
    }
};

// params: k (y' = -k y).
struct Decay {
    static constexpr int neq = 1, nparams = 1, min_size = 1;
    double k;
    explicit Decay(const double* q) : k(q[0]) {}
    void operator()(double, const double* y, double* d) const { d[0] = -k * y[0]; }
};

// Runs the same integration `repeat` times from the same start, without the GIL.
template <class Rhs>
PyObject* integrate_builtin(Problem& p, const std::vector<double>& params, long repeat) {
    if (params.size() != static_cast<std::size_t>(Rhs::nparams) ||
        p.y.size() < static_cast<std::size_t>(Rhs::min_size)) {
        PyErr_Format(PyExc_ValueError, "this problem needs %d parameters and len(y0) >= %d",
                     Rhs::nparams, Rhs::min_size);
        return nullptr;
    }
    const Rhs rhs(params.data());
    std::vector<double> y(p.y.size());
    Result r;
    Py_BEGIN_ALLOW_THREADS lsoda::Solver<Rhs::neq> solver;
    for (long k = 0; k < repeat; ++k) {
        y = p.y;
        r = solver.integrate(rhs, y.data(), p.t0, p.tout, p.rtol, p.atol);
    }
    Py_END_ALLOW_THREADS return result_dict(r, y);
}

PyObject* lsoda_builtin(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"name",   "y0", "tout",   "rtol", "atol",
                                     "params", "t0", "repeat", nullptr};
    const char* name = nullptr;
    PyObject* y0 = nullptr;
    PyObject* params_obj = nullptr;
    Problem p{{}, 0.0, 0.0, 0.0, 0.0};
    long repeat = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOddd|Odl", const_cast<char**>(keywords), &name,
                                     &y0, &p.tout, &p.rtol, &p.atol, &params_obj, &p.t0, &repeat))
        return nullptr;
    std::vector<double> params;
    if (!read_doubles(y0, p.y, "y0 must be a sequence")) return nullptr;
    if (params_obj != nullptr && !read_doubles(params_obj, params, "params must be a sequence"))
        return nullptr;
    if (repeat < 1) {
        PyErr_SetString(PyExc_ValueError, "repeat must be >= 1");
        return nullptr;
    }
    const auto is = [name](const char* s) { return std::strcmp(name, s) == 0; };
    if (is("population")) return integrate_builtin<Population>(p, params, repeat);
    if (is("attenuation")) return integrate_builtin<Attenuation>(p, params, repeat);
    if (is("robertson")) return integrate_builtin<Robertson>(p, params, repeat);
    if (is("vanderpol")) return integrate_builtin<VanDerPol>(p, params, repeat);
    if (is("harmonic")) return integrate_builtin<Harmonic>(p, params, repeat);
    if (is("decay")) return integrate_builtin<Decay>(p, params, repeat);
    PyErr_Format(PyExc_ValueError, "unknown problem '%s'", name);
    return nullptr;
}

}  // namespace

const PyMethodDef* integrator_methods() {
    static PyMethodDef methods[] = {
        {"lsoda", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lsoda_python)),
         METH_VARARGS | METH_KEYWORDS,
         "lsoda(f, y0, tout, rtol, atol, t0=0.0, neq=len(y0)) -> dict\n"
         "One fresh LSODA call with f(t, y) -> sequence of neq derivatives; f receives the "
         "whole state, entries beyond neq included."},
        {"lsoda_builtin",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lsoda_builtin)),
         METH_VARARGS | METH_KEYWORDS,
         "lsoda_builtin(name, y0, tout, rtol, atol, params=(), t0=0.0, repeat=1) -> dict\n"
         "The same with a C++ right-hand side (population, attenuation, robertson, vanderpol, "
         "harmonic, decay), run repeat times without the GIL; returns the last result."},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
