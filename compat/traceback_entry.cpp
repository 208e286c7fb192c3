#include "compat/traceback_entry.hpp"

#include <frameobject.h>

#include "compat/py_ref.hpp"

namespace plix::py {

void add_traceback_entry(const char* function_name, const char* file_name, int line,
                         PyObject* globals) {
    PendingError pending;
    Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, line)));
    Ref frame_globals = globals != nullptr ? Ref::borrow(globals) : Ref(PyDict_New());
    Ref frame;
    if (code && frame_globals) {
        frame = Ref(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        frame_globals.get(), nullptr)));
    }
    PyErr_Clear();  // a failure to build the entry must not replace the pending exception
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace plix::py
