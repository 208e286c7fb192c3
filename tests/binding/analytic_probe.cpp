// Analytic-model part of _plix_testing: the Lambert W0 function the saturable absorber uses,
// elementwise over a sequence.
#include <Python.h>

#include <vector>

#include "model/analytic_lambert_w.hpp"
#include "tests/binding/probe_support.hpp"
#include "tests/binding/probes.hpp"

namespace plix::testing {
namespace {

template <double (*F)(double)>
PyObject* elementwise(PyObject*, PyObject* args) {
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &obj)) return nullptr;
    Doubles values;
    if (!values.load(obj, "expected a sequence of numbers")) return nullptr;
    std::vector<double> out(values.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = F(values.span()[k]);
    return to_list(out);
}

}  // namespace

const PyMethodDef* analytic_methods() {
    static PyMethodDef methods[] = {
        {"lambert_w0", elementwise<model::lambert_w0>, METH_VARARGS,
         "lambert_w0(xs) -> [W0(x) for x in xs]"},
        {"lambert_w0_of_exp", elementwise<model::lambert_w0_of_exp>, METH_VARARGS,
         "lambert_w0_of_exp(zs) -> [W0(e^z) for z in zs]"},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace plix::testing
