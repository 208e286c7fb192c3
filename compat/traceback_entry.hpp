// Adds a synthetic frame to the traceback of the pending exception, so that failures
// inside the module show where they came from.
#pragma once

#include <Python.h>

namespace plix::py {

// function_name names the entry; globals (may be nullptr) becomes the frame's globals.
// The pending exception is kept as it is; if the entry cannot be made, it is left out.
void add_traceback_entry(const char* function_name, const char* file_name, int line,
                         PyObject* globals);

}  // namespace plix::py
