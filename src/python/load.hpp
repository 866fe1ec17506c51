#pragma once

#include <string>

#include "python/arguments.hpp"
#include "python/ref.hpp"

// The load functions: the rows of data or of a file straight into a database, without the GIL.

namespace morvel::python {

// Loads the data, or the file at the path, into the database of the URL, and returns the number
// of rows loaded as an int. Raises and returns null on failure.
PyObject* run_load(PyObject* module, const Function& function, PyObject* args, PyObject* kwargs);

// _execute(url, statements): runs the str statements in order on one connection to the
// database of the URL, without the GIL, and returns None; the first failure is raised as a
// load's is. Private to the module's own Python helpers (morvel_dask), which move staged rows
// between tables with it; a transaction they leave open is rolled back.
PyObject* run_execute(PyObject* module, PyObject* args);

// The documentation of a load function: the text signature line that introspection reads, then
// the help, with each option the command's option beside it. Never fails but for memory.
[[nodiscard]] std::string load_doc(const Function& function);

}  // namespace morvel::python
