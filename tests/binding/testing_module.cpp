// _plix_testing: a private extension that exposes the integrator and the model to the
// test suite and the benchmarks. It is built only with -DPLIX_BUILD_TESTING=ON.
#include <Python.h>

#include <vector>

#include "tests/binding/probes.hpp"

namespace {

std::vector<PyMethodDef> collect_methods() {
    std::vector<PyMethodDef> methods;
    for (const PyMethodDef* table :
         {plix::testing::integrator_methods(), plix::testing::model_methods(),
          plix::testing::engine_methods(), plix::testing::exact_methods(),
          plix::testing::physical_methods(), plix::testing::analytic_methods(),
          plix::testing::propagator_methods()}) {
        for (const PyMethodDef* m = table; m->ml_name != nullptr; ++m) methods.push_back(*m);
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

PyModuleDef testing_module = {PyModuleDef_HEAD_INIT,
                              "_plix_testing",
                              "Test-only access to the integrator, the model and the engine.",
                              -1,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__plix_testing() {
    static std::vector<PyMethodDef> methods = collect_methods();
    testing_module.m_methods = methods.data();
    return PyModule_Create(&testing_module);
}
