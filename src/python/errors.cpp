#include "python/errors.hpp"

#include <iterator>

#include "cli/messages.hpp"

namespace morvel::python {
namespace {

using core::Error;
using core::ErrorKind;
using core::OptionRule;

// Adds `note` to the pending exception through its add_note method.
void add_note(std::string_view note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    Ref text(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    Ref result(text ? PyObject_CallMethod(value, "add_note", "O", text.get()) : nullptr);
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// str() of an open failure: its one argument, the message, as for an OSError with one argument;
// OSError's own would show "[Errno N] ..." once errno and strerror are set.
PyObject* message_text(PyObject* self) noexcept {
  Ref args(PyObject_GetAttrString(self, "args"));
  if (!args) return nullptr;
  if (PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
    return PyObject_Str(PyTuple_GetItem(args.get(), 0));
  }
  return PyObject_Str(args.get());
}

// A subclass of `base` (the class Python gives an errno value) whose text is its message.
Ref open_error_type(PyObject* base) {
  // Type names are not copied by every supported CPython, so they are static.
  static constexpr const char* names[] = {
      "morvel.FileNotFoundError",  "morvel.PermissionError", "morvel.IsADirectoryError",
      "morvel.NotADirectoryError", "morvel.FileExistsError", "morvel.InterruptedError",
      "morvel.BlockingIOError",    "morvel.TimeoutError",    "morvel.OSError"};
  Ref base_name(PyObject_GetAttrString(base, "__name__"));
  const char* wanted = base_name ? PyUnicode_AsUTF8AndSize(base_name.get(), nullptr) : nullptr;
  if (wanted == nullptr) return Ref();
  const char* name = names[std::size(names) - 1];
  for (const char* candidate : names) {
    if (std::string_view(candidate).substr(7) == wanted) name = candidate;
  }
  PyType_Slot slots[] = {{Py_tp_str, reinterpret_cast<void*>(message_text)}, {0, nullptr}};
  PyType_Spec shape{name, 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  Ref bases(PyTuple_Pack(1, base));
  return Ref(bases ? PyType_FromSpecWithBases(&shape, bases.get()) : nullptr);
}

// Raises, for a file that cannot be opened, the OSError subclass Python itself gives the error's
// number (FileNotFoundError, PermissionError, ...) with errno, strerror and filename set, so that
// `except FileNotFoundError` works, yet with the message as its only argument and its text, as
// callers that catch OSError have always seen it.
PyObject* raise_open_error(const Error& error, PyObject* filename) {
  Ref probe(error.code != 0 ? PyObject_CallFunction(PyExc_OSError, "is", error.code, "") : nullptr);
  Ref type = probe ? open_error_type(reinterpret_cast<PyObject*>(Py_TYPE(probe.get()))) : Ref();
  if (!type) {
    PyErr_Clear();
    return raise_text(PyExc_OSError, error.message);
  }
  Ref message(PyUnicode_DecodeUTF8(error.message.data(),
                                   static_cast<Py_ssize_t>(error.message.size()), "replace"));
  Ref exception(message ? PyObject_CallFunctionObjArgs(type.get(), message.get(), nullptr)
                        : nullptr);
  if (!exception) return nullptr;
  const std::string description = core::os_description(error.code);
  Ref code(PyLong_FromLong(error.code));
  Ref strerror(PyUnicode_DecodeUTF8(description.data(), static_cast<Py_ssize_t>(description.size()),
                                    "replace"));
  if (!code || !strerror || PyObject_SetAttrString(exception.get(), "errno", code.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "strerror", strerror.get()) < 0 ||
      (filename != nullptr && PyObject_SetAttrString(exception.get(), "filename", filename) < 0)) {
    return nullptr;
  }
  PyErr_SetObject(type.get(), exception.get());
  return nullptr;
}

// How a rule between options names a parameter: a switch with the value that turned it on.
std::string rule_name(const core::OptionRef& option) {
  const convert::OptionSpec* entry = convert::find_option(option.key);
  if (entry != nullptr && entry->kind == convert::ValueKind::Switch) {
    return concat({option.key, "=True"});
  }
  return std::string(option.key);
}

// The message of a failure about options in Python's words ("tsv=True cannot be used with
// delimiter"). The key choice keeps the sentences Python callers have always matched; an
// error that says which option to use instead keeps the command's spelling in its text, which
// callers match as well, for its note to give Python's.
std::string python_message(const Error& error) {
  const auto& [first, second] = error.about.options;
  switch (error.about.rule) {
    case OptionRule::Conflict:
      if (first.key == "primary_key" && second.key == "auto_id") return error.message;
      return concat({rule_name(first), " cannot be used with ", rule_name(second)});
    case OptionRule::Requires:
      if (second.key == "create_table" && (first.key == "primary_key" || first.key == "auto_id")) {
        return "primary_key / auto_id require create_table=True";
      }
      return concat({rule_name(first), " requires ", rule_name(second)});
    case OptionRule::Instead:
      return cli::command_message(error);
    case OptionRule::Advice:
      return core::spelled_in(error.message, error.about, python_spelling(first));
    case OptionRule::None:
      break;
  }
  return error.message;
}

std::string type_name_of(PyObject* object) {
  Ref name(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (std::string_view part : parts) text += part;
  return text;
}

PyObject* raise_text(PyObject* type, std::string_view message) {
  // Messages quote user data; a broken byte must not turn the report into a different error.
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_error(const Error& error, PyObject* filename) {
  if (error.kind == ErrorKind::Interrupted && PyErr_Occurred() != nullptr) return nullptr;
  if (error.kind == ErrorKind::Open) {
    // One of several inputs names itself: the call's argument is the list.
    Ref own_name;
    if (!error.input.empty()) {
      own_name = Ref(PyUnicode_DecodeFSDefaultAndSize(error.input.data(),
                                                      static_cast<Py_ssize_t>(error.input.size())));
      if (!own_name) return nullptr;
      filename = own_name.get();
    }
    raise_open_error(error, filename);
  } else {
    raise_text(PyExc_ValueError, python_message(error));
    if (error.about.rule == OptionRule::Instead) {
      add_note(concat({"use ", python_spelling(error.about.options[0]), " instead"}));
    }
  }
  if (!error.input.empty() && error.kind != ErrorKind::Open) {
    add_note(concat({"in the input file '", error.input, "'"}));
  }
  // An engine's client library that could not be loaded is an open failure with a hint.
  if (error.hint) add_note(python_sentence(*error.hint));
  return nullptr;
}

PyObject* raise_not_instance(PyObject* object, std::string_view expected) {
  if (object == Py_None) {
    return raise_text(PyExc_TypeError, concat({"'None' is not an instance of '", expected, "'"}));
  }
  return raise_text(PyExc_TypeError, concat({"'", type_name_of(object),
                                             "' object is not an instance of '", expected, "'"}));
}

void add_parameter_note(std::string_view parameter) {
  add_note(concat({"while processing '", parameter, "'"}));
}

bool refuse_value(const Error& error, std::string_view parameter) {
  raise_error(error);
  add_parameter_note(parameter);
  return false;
}

PyObject* raise_panic(PyObject* module, const char* what) {
  Ref type(module != nullptr ? PyObject_GetAttrString(module, "PanicException") : nullptr);
  if (!type) {
    PyErr_Clear();
    return raise_text(PyExc_SystemError, what);
  }
  return raise_text(type.get(), what);
}

std::string python_literal(convert::ValueKind kind, std::string_view value) {
  if (kind == convert::ValueKind::Switch) return "True";
  if (kind == convert::ValueKind::Count) return std::string(value);
  std::string out = "\"";
  for (const char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  out += '"';
  return kind == convert::ValueKind::Words ? concat({"[", out, "]"}) : out;
}

std::string python_spelling(const core::OptionRef& option) {
  const convert::OptionSpec* entry = convert::find_option(option.key);
  const convert::ValueKind kind = entry != nullptr ? entry->kind : convert::ValueKind::Text;
  // The format is the function's choice in Python.
  if (option.key == "format") {
    return concat({"convert_", option.value, "_to_sql (or its file and load variants)"});
  }
  return concat({option.key, "=", python_literal(kind, option.value)});
}

std::string python_sentence(const core::Notice& notice) {
  if (notice.about.rule == OptionRule::None) return notice.text;
  return core::spelled_in(notice.text, notice.about, python_spelling(notice.advised()));
}

bool settle(PyObject* module, const std::vector<core::Notice>& warnings, const core::Status& done,
            PyObject* filename) {
  const bool interrupted = !done && done.error().kind == core::ErrorKind::Interrupted;
  if (!interrupted && !warnings.empty()) {
    Ref category(PyObject_GetAttrString(module, "DataWarning"));
    if (!category) return false;
    for (const core::Notice& warning : warnings) {
      // A warning about one of several input files begins with its path, as the command's does.
      const std::string message = warning.input.empty()
                                      ? python_sentence(warning)
                                      : concat({warning.input, ": ", python_sentence(warning)});
      if (PyErr_WarnEx(category.get(), message.c_str(), 1) < 0) return false;
    }
  }
  if (!done) {
    raise_error(done.error(), filename);
    return false;
  }
  return true;
}

}  // namespace morvel::python
