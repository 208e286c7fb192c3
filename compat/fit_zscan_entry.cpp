#include "compat/fit_zscan_entry.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "compat/buffer_view.hpp"
#include "compat/fit_zscan_body.hpp"
#include "compat/traceback_entry.hpp"

namespace plix::py {
namespace {

constexpr const char* source_file = "compat/fit_zscan_entry.cpp";
constexpr const char* function_name = "fit_zscan";
constexpr const char* traceback_name = "plix_wrapper.fit_zscan";
constexpr int signature_line = 1;

// Parameter positions, in the order of fit_zscan_parameters.
namespace param {
enum : int {
    x_data,
    y_data,
    populations,
    t_slices,
    z_slices,
    sample_width,
    tau,
    wavelength,
    w0,
    M2,
    pulse_energy,
    spec_pars,
    fit_indices,
    num_x_pts,
    num_datasets,
    is_sa,
    n_starts
};
}  // namespace param

constexpr int default_is_sa = 0;
constexpr std::int32_t default_n_starts = 3;

// ---------------------------------------------------------------------------------------
// Binding: positional and keyword arguments to the seventeen parameters.

// Borrowed references to the bound values; nullptr where nothing was given.
using BoundArguments = std::array<PyObject*, fit_zscan_parameter_count>;

bool raise_positional_count(const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, bound, expected, expected == 1 ? "" : "s", given);
    return false;
}

bool names_equal(PyObject* name, PyObject* key) {
    return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
           PyUnicode_Compare(name, key) == 0;
}

// Matches one keyword against the parameters from position `nargs` on.
bool bind_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, BoundArguments& bound) {
    const auto& names = module_state().parameter_names;
    for (Py_ssize_t p = nargs; p < fit_zscan_parameter_count; ++p) {
        if (names[p].get() == key) {
            bound[p] = value;
            return true;
        }
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
        return false;
    }
    for (Py_ssize_t p = nargs; p < fit_zscan_parameter_count; ++p) {
        if (names_equal(names[p].get(), key)) {
            bound[p] = value;
            return true;
        }
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) {
        if (names_equal(names[p].get(), key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function_name, key);
            return false;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name,
                 key);
    return false;
}

bool check_positional_count(Py_ssize_t nargs, Py_ssize_t nkw) {
    if (nargs > fit_zscan_parameter_count)
        return raise_positional_count("at most", fit_zscan_parameter_count, nargs);
    if (nkw == 0 && nargs < fit_zscan_required_count)
        return raise_positional_count("at least", fit_zscan_required_count, nargs);
    return true;
}

// The first required parameter still unbound after the keywords is reported.
bool check_required(Py_ssize_t nargs, const BoundArguments& bound) {
    for (Py_ssize_t p = nargs; p < fit_zscan_required_count; ++p) {
        if (bound[p] == nullptr)
            return raise_positional_count("at least", fit_zscan_required_count, p);
    }
    return true;
}

// The fast convention: positional values, then the keyword values named by kwnames.
bool bind_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 BoundArguments& bound) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!check_positional_count(nargs, nkw)) return false;
    for (Py_ssize_t p = 0; p < nargs; ++p) bound[p] = args[p];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, bound))
            return false;
    }
    return check_required(nargs, bound);
}

// The classic convention: an argument tuple and a keyword dictionary (or nullptr), the
// keywords matched in the dictionary's order.
bool bind_tuple_and_dict(PyObject* args, PyObject* kwargs, BoundArguments& bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (!check_positional_count(nargs, nkw)) return false;
    for (Py_ssize_t p = 0; p < nargs; ++p) bound[p] = PyTuple_GET_ITEM(args, p);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (nkw > 0 && PyDict_Next(kwargs, &position, &key, &value)) {
        if (!bind_keyword(key, value, nargs, bound)) return false;
    }
    return check_required(nargs, bound);
}

// ---------------------------------------------------------------------------------------
// Conversion of the bound values to machine types.

bool int_in_range(PyObject* integer, std::int32_t& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

// Calls the integer-conversion slot of a non-integer and checks what it returns.
Ref int_from_slot(PyObject* obj) {
    const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result(number->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    if (PyLong_CheckExact(result.get())) return result;
    const char* type_name = Py_TYPE(result.get())->tp_name;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name);
        return Ref();
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         type_name) < 0)
        return Ref();
    return result;
}

bool to_int32(PyObject* obj, std::int32_t& out) {
    if (PyLong_Check(obj)) return int_in_range(obj, out);
    const Ref integer = int_from_slot(obj);
    return integer && int_in_range(integer.get(), out);
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_flag(PyObject* obj, int& out) {
    if (obj == Py_True || obj == Py_False || obj == Py_None) {
        out = obj == Py_True ? 1 : 0;
        return true;
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth;
    return true;
}

// None becomes an empty view here; it is rejected after all conversions.
bool to_view(PyObject* obj, ElementType type, BufferView& out) {
    return obj == Py_None || out.acquire(obj, type, 1);
}

struct ConvertedArguments {
    BufferView x_data, y_data, populations;
    std::int32_t t_slices = 0, z_slices = 0;
    double sample_width = 0, tau = 0, wavelength = 0, w0 = 0, M2 = 0;
    BufferView pulse_energy, spec_pars, fit_indices;
    std::int32_t num_x_pts = 0, num_datasets = 0;
    int is_sa = default_is_sa;
    std::int32_t n_starts = default_n_starts;

    ConvertedArguments() = default;
    ConvertedArguments(const ConvertedArguments&) = delete;
    ConvertedArguments& operator=(const ConvertedArguments&) = delete;
    ~ConvertedArguments() { release_views(); }

    // Releases the views in parameter order.
    void release_views() noexcept {
        x_data.release();
        y_data.release();
        populations.release();
        pulse_energy.release();
        spec_pars.release();
        fit_indices.release();
    }

    FitArguments fit_arguments() const {
        return FitArguments{x_data,       y_data,    populations, t_slices,  z_slices,
                            sample_width, tau,       wavelength,  w0,        M2,
                            pulse_energy, spec_pars, fit_indices, num_x_pts, num_datasets,
                            is_sa,        n_starts};
    }
};

// Converts strictly in parameter order; the first failure ends the conversion.
bool convert_arguments(const BoundArguments& v, ConvertedArguments& c) {
    using enum ElementType;
    return to_view(v[param::x_data], real64, c.x_data) &&
           to_view(v[param::y_data], real64, c.y_data) &&
           to_view(v[param::populations], real64, c.populations) &&
           to_int32(v[param::t_slices], c.t_slices) && to_int32(v[param::z_slices], c.z_slices) &&
           to_double(v[param::sample_width], c.sample_width) && to_double(v[param::tau], c.tau) &&
           to_double(v[param::wavelength], c.wavelength) && to_double(v[param::w0], c.w0) &&
           to_double(v[param::M2], c.M2) &&
           to_view(v[param::pulse_energy], real64, c.pulse_energy) &&
           to_view(v[param::spec_pars], real64, c.spec_pars) &&
           to_view(v[param::fit_indices], int32, c.fit_indices) &&
           to_int32(v[param::num_x_pts], c.num_x_pts) &&
           to_int32(v[param::num_datasets], c.num_datasets) &&
           (v[param::is_sa] == nullptr || to_flag(v[param::is_sa], c.is_sa)) &&
           (v[param::n_starts] == nullptr || to_int32(v[param::n_starts], c.n_starts));
}

bool reject_none(const BoundArguments& v) {
    for (const int p : {param::x_data, param::y_data, param::populations, param::pulse_energy,
                        param::spec_pars, param::fit_indices}) {
        if (v[p] == Py_None) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None",
                         fit_zscan_parameters[p]);
            return false;
        }
    }
    return true;
}

PyObject* call_fit_zscan(const BoundArguments& bound) {
    ConvertedArguments converted;
    if (!convert_arguments(bound, converted) || !reject_none(bound)) return nullptr;
    PyObject* const result = fit_zscan_body(converted.fit_arguments());
    converted.release_views();
    return result;
}

// ---------------------------------------------------------------------------------------
// The function object.

struct FunctionFields {
    Ref name, qualname, module, doc, defaults, globals, code, annotations;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionFields fields;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* with_traceback_entry(PyObject* self, PyObject* result, int line) {
    if (result == nullptr)
        add_traceback_entry(traceback_name, source_file, line,
                            as_function(self)->fields.globals.get());
    return result;
}

constexpr int entry_line = __LINE__ + 1;
PyObject* fit_zscan_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) {
    BoundArguments bound{};
    PyObject* const result = bind_vector(args, PyVectorcall_NARGS(nargsf), kwnames, bound)
                                 ? call_fit_zscan(bound)
                                 : nullptr;
    return with_traceback_entry(self, result, entry_line);
}

constexpr int call_line = __LINE__ + 1;
PyObject* fit_zscan_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    BoundArguments bound{};
    if (!bind_tuple_and_dict(args, kwargs, bound))
        return with_traceback_entry(self, nullptr, call_line);
    // The dictionary may belong to the caller, and conversion runs Python code that could
    // change it: hold the keyword values for the length of the call.
    std::array<Ref, fit_zscan_parameter_count> held;
    for (std::size_t p = static_cast<std::size_t>(PyTuple_GET_SIZE(args)); p < held.size(); ++p)
        held[p] = Ref::borrow(bound[p]);
    return with_traceback_entry(self, call_fit_zscan(bound), call_line);
}

void function_dealloc(PyObject* self) {
    as_function(self)->fields.~FunctionFields();
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->fields.qualname.get(),
                                self);
}

template <Ref FunctionFields::* field>
PyObject* get_field(PyObject* self, void*) {
    return (as_function(self)->fields.*field).new_reference();
}

PyObject* get_none(PyObject*, void*) { return Py_NewRef(Py_None); }

// Pickled by reference: the qualified name, looked up in __module__ on loading.
PyObject* reduce_by_name(PyObject* self, PyObject*) {
    return as_function(self)->fields.qualname.new_reference();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionFields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionFields::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionFields::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&FunctionFields::doc>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionFields::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionFields::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionFields::code>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&FunctionFields::annotations>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef function_methods[] = {{"__reduce__", reduce_by_name, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

// A static type: its module comes from its dotted name, so the instance attribute
// __module__ does not shadow the type's own.
PyTypeObject function_type{};

}  // namespace

bool ready_fit_zscan_type(ModuleState& state) {
    if (state.function_type) return true;
    PyTypeObject& type = function_type;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "plix_wrapper.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = fit_zscan_call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    if (PyType_Ready(&type) < 0) return false;
    state.function_type = Ref::borrow(reinterpret_cast<PyObject*>(&type));
    return true;
}

Ref make_signature_code(const ModuleState& state) {
    Ref empty(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, function_name, signature_line)));
    Ref names(PyTuple_New(fit_zscan_parameter_count));
    if (!empty || !names) return Ref();
    for (int p = 0; p < fit_zscan_parameter_count; ++p)
        PyTuple_SET_ITEM(names.get(), p, state.parameter_names[p].new_reference());
    const Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    const Ref no_args(PyTuple_New(0));
    const Ref counts(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", fit_zscan_parameter_count,
                                   "co_nlocals", fit_zscan_parameter_count, "co_varnames",
                                   names.get()));
    if (!replace || !no_args || !counts) return Ref();
    return Ref(PyObject_Call(replace.get(), no_args.get(), counts.get()));
}

Ref make_fit_zscan_function(const ModuleState& state, PyObject* globals) {
    Ref defaults(Py_BuildValue("(Oi)", Py_False, default_n_starts));
    Ref annotations(PyDict_New());
    if (!defaults || !annotations) return Ref();
    auto* const type = reinterpret_cast<PyTypeObject*>(state.function_type.get());
    Ref self(type->tp_alloc(type, 0));
    if (!self) return Ref();
    FunctionObject* const f = as_function(self.get());
    new (&f->fields) FunctionFields{Ref::borrow(state.function_name.get()),
                                    Ref::borrow(state.function_name.get()),
                                    Ref::borrow(state.module_name.get()),
                                    Ref::borrow(state.docstring.get()),
                                    std::move(defaults),
                                    Ref::borrow(globals),
                                    Ref::borrow(state.signature_code.get()),
                                    std::move(annotations)};
    f->vectorcall = fit_zscan_vectorcall;
    return self;
}

}  // namespace plix::py
