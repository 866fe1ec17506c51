#pragma once

#include <string>

#include "python/arguments.hpp"
#include "python/ref.hpp"

namespace morvel::python {

// The type of the iterators the iter_* functions return, made for `module`, whose DataWarning
// and PanicException they raise. Raises and returns null on failure.
PyObject* make_iterator_type(PyObject* module);

// An iter_* function's call: binds the arguments as the conversion functions do, opens the input
// file and checks the options (raising as they do), then starts the conversion on a thread of its
// own and returns an iterator of `type` over its statements.
PyObject* start_iteration(PyObject* type, const Function& function, PyObject* args,
                          PyObject* kwargs);

// The documentation of an iter_* function. Never fails but for memory.
[[nodiscard]] std::string iterate_doc(const Function& function);

}  // namespace morvel::python
