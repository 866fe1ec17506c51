#pragma once

#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "convert/option_table.hpp"
#include "core/error.hpp"
#include "python/ref.hpp"

namespace morvel::python {

// Joins message pieces; one reservation instead of a chain of temporaries. Never fails.
[[nodiscard]] std::string concat(std::initializer_list<std::string_view> parts);

// Raises `type` with `message`, decoded as UTF-8 with broken bytes replaced, as its one
// argument. Returns null, for the caller to return.
PyObject* raise_text(PyObject* type, std::string_view message);

// Raises the exception for a failed conversion and returns null: the one a signal handler
// raised when that is what stopped it, OSError for a file that cannot be opened (`filename`: the
// path argument), ValueError with the message in Python's words for everything else.
PyObject* raise_error(const core::Error& error, PyObject* filename = nullptr);

// Raises TypeError "'<type>' object is not an instance of '<expected>'" and returns null.
PyObject* raise_not_instance(PyObject* object, std::string_view expected);

// Adds "while processing '<parameter>'" to the pending exception; an exception without notes
// is left as it is.
void add_parameter_note(std::string_view parameter);

// Raises ValueError for a value the core refused, with the note naming the parameter. Returns
// false, for the caller to return.
bool refuse_value(const core::Error& error, std::string_view parameter);

// Raises PanicException for a C++ exception that escaped the core, SystemError when the
// module has none. Returns null.
PyObject* raise_panic(PyObject* module, const char* what);

// Runs `body`, turning any C++ exception that escapes it into a Python exception: no C++
// exception ever unwinds into the interpreter.
template <class Body>
PyObject* guarded(PyObject* module, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(module, error.what());
  } catch (...) {
    return raise_panic(module, "unknown C++ exception");
  }
}

// A value of an option of kind `kind` as Python code writes it: "first" in double quotes for a
// text, 5 for a count, True for a switch, ["NA"] for words. Never fails.
[[nodiscard]] std::string python_literal(convert::ValueKind kind, std::string_view value);

// How Python code passes `option`: schema_from="all", tsv=True. Never fails.
[[nodiscard]] std::string python_spelling(const core::OptionRef& option);

// The sentence of `notice` in Python's words. Never fails.
[[nodiscard]] std::string python_sentence(const core::Notice& notice);

// After a call that ran without the lock: emits its warnings as the module's DataWarning, in
// order, unless Ctrl-C stopped it, then raises its failure, if any (`filename`: the path
// argument of a file function). False when an exception is set.
bool settle(PyObject* module, const std::vector<core::Notice>& warnings, const core::Status& done,
            PyObject* filename);

}  // namespace morvel::python
