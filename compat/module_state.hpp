// The process-wide state of the plix_wrapper module. The module admits one interpreter
// per process and one module object, so its state lives in static storage, not in
// per-module storage.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "compat/py_ref.hpp"

namespace plix::py {

inline constexpr int fit_zscan_parameter_count = 17;
inline constexpr int fit_zscan_required_count = 15;

struct ModuleState {
    Ref module;  // the one module object; null until exec stores it
    std::int64_t first_interpreter_id = -1;
    Ref module_dict;  // the module object's dictionary
    Ref builtins;     // the builtins module
    // Constant strings, made once by the exec step; the identifiers are interned.
    std::array<Ref, fit_zscan_parameter_count> parameter_names;
    Ref function_name;           // "fit_zscan"
    Ref module_name;             // "plix_wrapper"
    Ref docstring;               // the __doc__ of fit_zscan
    Ref signature_code;          // code object naming the seventeen parameters
    void** numpy_api = nullptr;  // NumPy's C-API table, from its _ARRAY_API capsule
    std::int32_t numpy_feature_level = 0;
    Ref function_type;  // the type of fit_zscan, readied once
    Ref fit_zscan;      // the function object, also bound in module_dict

    bool has_constants() const { return static_cast<bool>(signature_code); }
    // Drops what a failed exec step may have stored, so no partial module stays reachable.
    void forget_module() noexcept;
};

// The state; never destroyed, because its references outlive the interpreter's teardown.
ModuleState& module_state();

// Borrowed references, valid after a successful exec step.
PyObject* module_dict();
PyObject* builtins_module();

// Makes the constant strings (once per process); false with an error set on failure.
bool make_constant_strings(ModuleState& state);

}  // namespace plix::py
