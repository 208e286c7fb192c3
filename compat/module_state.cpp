#include "compat/module_state.hpp"

#include <string_view>

#include "compat/fit_zscan_entry.hpp"

namespace plix::py {

ModuleState& module_state() {
    static ModuleState* const state = new ModuleState;
    return *state;
}

PyObject* module_dict() { return module_state().module_dict.get(); }

PyObject* builtins_module() { return module_state().builtins.get(); }

void ModuleState::forget_module() noexcept {
    fit_zscan.reset();
    module_dict.reset();
    builtins.reset();
    module.reset();
}

bool make_constant_strings(ModuleState& state) {
    if (state.has_constants()) return true;
    for (int i = 0; i < fit_zscan_parameter_count; ++i) {
        state.parameter_names[i] = Ref(PyUnicode_InternFromString(fit_zscan_parameters[i]));
        if (!state.parameter_names[i]) return false;
    }
    state.function_name = Ref(PyUnicode_InternFromString("fit_zscan"));
    state.module_name = Ref(PyUnicode_InternFromString("plix_wrapper"));
    const std::string_view doc = fit_zscan_docstring;
    state.docstring =
        Ref(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())));
    if (!state.function_name || !state.module_name || !state.docstring) return false;
    state.signature_code = make_signature_code(state);
    return static_cast<bool>(state.signature_code);
}

}  // namespace plix::py
