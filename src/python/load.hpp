#pragma once

#include <string>

#include "python/arguments.hpp"
#include "python/ref.hpp"

// The load functions: the rows of data or of a file straight into a database, without the GIL.

namespace morvel::python {

// Loads the data, or the file at the path, into the database of the URL, and returns the number
// of rows loaded as an int. Raises and returns null on failure.
PyObject* run_load(PyObject* module, const Function& function, PyObject* args, PyObject* kwargs);

// The documentation of a load function: the text signature line that introspection reads, then
// the help, with each option the command's option beside it. Never fails but for memory.
[[nodiscard]] std::string load_doc(const Function& function);

}  // namespace morvel::python
