// Module initialisation of plix_wrapper: multi-phase init with a create and an exec step.
#include <Python.h>
#include <numpy/numpyconfig.h>

#include <bit>
#include <cstdint>

#include "compat/fit_zscan_entry.hpp"
#include "compat/module_state.hpp"
#include "compat/py_ref.hpp"
#include "compat/traceback_entry.hpp"

namespace plix::py {
namespace {

constexpr const char* module_name = "plix_wrapper";
constexpr const char* source_file = "compat/module_init.cpp";
constexpr int target_major = 3;
constexpr int target_minor = 11;

// Entries of NumPy's C-API table and what they return.
constexpr int api_ndarray_c_version = 0;
constexpr int api_endianness = 210;
constexpr int api_ndarray_c_feature_version = 211;
constexpr int cpu_unknown_endian = 0;
constexpr int cpu_little = 1;
constexpr int cpu_big = 2;

// ---------------------------------------------------------------------------------------
// Create step.

bool check_interpreter(ModuleState& state) {
    PyInterpreterState* const interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return false;
    if (state.first_interpreter_id == -1) {
        state.first_interpreter_id = id;
    } else if (state.first_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies spec.<from> to module.<to>; a missing attribute is skipped, and so is None when
// none_allowed is false.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool none_allowed) {
    const Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !none_allowed) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    ModuleState& state = module_state();
    if (!check_interpreter(state)) return nullptr;
    if (state.module) return state.module.new_reference();

    const Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* const dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------------------------------
// Exec step.

bool bind_builtins(ModuleState& state, PyObject* module) {
    state.module = Ref::borrow(module);
    state.module_dict = Ref::borrow(PyModule_GetDict(module));
    state.builtins = Ref::borrow(PyImport_AddModule("builtins"));
    if (!state.module_dict || !state.builtins) return false;
    return PyObject_SetAttrString(module, "__builtins__", state.builtins.get()) == 0;
}

// Warns (RuntimeWarning) when the running Python is not the one the module is made for.
bool check_python_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == target_major && minor == target_minor) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  target_major, target_minor, module_name, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool enter_in_sys_modules(PyObject* module) {
    PyObject* const modules = PyImport_GetModuleDict();
    const int present = PyMapping_HasKeyString(modules, module_name);
    if (present) return true;
    return PyMapping_SetItemString(modules, module_name, module) == 0;
}

bool bind_numpy(PyObject* dict) {
    const Ref name(PyUnicode_InternFromString("numpy"));
    if (!name) return false;
    Ref numpy(PyImport_GetModule(name.get()));
    if (!numpy) {
        if (PyErr_Occurred()) return false;
        numpy = Ref(PyImport_ImportModuleLevel("numpy", dict, nullptr, nullptr, 0));
        if (!numpy) return false;
    }
    return PyDict_SetItemString(dict, "np", numpy.get()) == 0;
}

template <typename Result>
Result call_api(void** table, int entry) {
    return reinterpret_cast<Result (*)()>(table[entry])();
}

// NumPy's own C-API import checks, for a module built against feature level 0x10.
bool read_numpy_api(ModuleState& state) {
    Ref core(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        core = Ref(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!core) return false;
    const Ref capsule(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    void** const table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }
    const unsigned int abi = call_api<unsigned int>(table, api_ndarray_c_version);
    if (abi > static_cast<unsigned int>(NPY_ABI_VERSION)) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_ABI_VERSION), static_cast<int>(abi));
        return false;
    }
    const auto feature =
        static_cast<std::int32_t>(call_api<unsigned int>(table, api_ndarray_c_feature_version));
    if (feature < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x "
                     "(NumPy " NPY_FEATURE_VERSION_STRING
                     ") "
                     "but the running NumPy has C-API version 0x%x. "
                     "Check the section C-API incompatibility at the "
                     "Troubleshooting ImportError section at "
                     "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
                     "#c-api-incompatibility "
                     "for indications on how to solve this problem.",
                     static_cast<int>(NPY_FEATURE_VERSION), static_cast<int>(feature));
        return false;
    }
    const int endianness = call_api<int>(table, api_endianness);
    if (endianness == cpu_unknown_endian) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return false;
    }
    constexpr bool little = std::endian::native == std::endian::little;
    if (endianness != (little ? cpu_little : cpu_big)) {
        PyErr_SetString(PyExc_RuntimeError,
                        little ? "FATAL: module compiled as little endian, but detected "
                                 "different endianness at runtime"
                               : "FATAL: module compiled as big endian, but detected "
                                 "different endianness at runtime");
        return false;
    }
    state.numpy_api = table;
    state.numpy_feature_level = feature;
    return true;
}

// Replaces a pending Exception by ImportError, with the first exception as its context.
void raise_numpy_import_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref first_type(type);
    Ref first(value);
    const Ref first_traceback(traceback);
    if (traceback != nullptr) PyException_SetTraceback(first.get(), traceback);

    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) PyException_SetContext(value, first.release());
    PyErr_Restore(type, value, traceback);
}

bool import_numpy_api(ModuleState& state) {
    if (read_numpy_api(state)) return true;
    raise_numpy_import_error();
    return false;
}

bool bind_fit_zscan(ModuleState& state) {
    state.fit_zscan = make_fit_zscan_function(state, state.module_dict.get());
    return state.fit_zscan &&
           PyDict_SetItemString(state.module_dict.get(), "fit_zscan", state.fit_zscan.get()) == 0;
}

bool bind_test_dict(PyObject* dict) {
    const Ref test(PyDict_New());
    return test && PyDict_SetItemString(dict, "__test__", test.get()) == 0;
}

bool run_exec_steps(ModuleState& state, PyObject* module) {
    return bind_builtins(state, module) && check_python_version() && make_constant_strings(state) &&
           enter_in_sys_modules(module) && ready_fit_zscan_type(state) &&
           bind_numpy(state.module_dict.get()) && import_numpy_api(state) &&
           bind_fit_zscan(state) && bind_test_dict(state.module_dict.get());
}

constexpr int exec_line = __LINE__ + 1;
int exec_module(PyObject* module) {
    ModuleState& state = module_state();
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'plix_wrapper' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    if (run_exec_steps(state, module)) return 0;
    if (state.has_constants())
        add_traceback_entry("init plix_wrapper", source_file, exec_line, PyModule_GetDict(module));
    state.forget_module();
    return -1;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_create, reinterpret_cast<void*>(create_module)},
                                   {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                                   {0, nullptr}};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, module_name, nullptr, 0,      module_methods,
                          module_slots,          nullptr,     nullptr, nullptr};

}  // namespace
}  // namespace plix::py

PyMODINIT_FUNC PyInit_plix_wrapper() { return PyModuleDef_Init(&plix::py::module_def); }
