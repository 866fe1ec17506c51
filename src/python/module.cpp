// The CPython extension module: binds arguments, calls one core function, maps the outcome.
// Written against the stable ABI only, so one build imports in every CPython from 3.11 on.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/run_cli.hpp"
#include "convert/options.hpp"
#include "convert/pipeline.hpp"
#include "core/error.hpp"
#include "core/io.hpp"

namespace morvel::python {

namespace {

using convert::Format;
using core::Error;
using core::ErrorKind;

// Owns one new reference and releases it when destroyed.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  Ref(const Ref&) = delete;  // one owner per reference
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

constexpr std::size_t parameter_count = 6;
using Names = const char* const[parameter_count];

constexpr Names csv_text_names = {"csv_data", "table_name",  "create_table",
                                  "dialect",  "primary_key", "auto_id"};
constexpr Names json_text_names = {"json_data", "table_name",  "create_table",
                                   "dialect",   "primary_key", "auto_id"};
constexpr Names file_names = {"path",    "table_name",  "create_table",
                              "dialect", "primary_key", "auto_id"};

// The four conversion functions: their names, parameters, input format and whether the first
// argument is a path or the data itself.
struct Entry {
  const char* function;
  const Names& names;
  Format format;
  bool from_file;
};
constexpr Entry csv_text{"convert_csv_to_sql", csv_text_names, Format::Csv, false};
constexpr Entry json_text{"convert_json_to_sql", json_text_names, Format::Json, false};
constexpr Entry csv_file{"convert_csv_file_to_sql", file_names, Format::Csv, true};
constexpr Entry json_file{"convert_json_file_to_sql", file_names, Format::Json, true};

// Joins message pieces; one reservation instead of a chain of temporaries.
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

PyObject* raise_error(const Error& error) {
  // A single-argument OSError stays of class OSError with errno None: callers must not see a
  // FileNotFoundError that pretends to carry a number we did not give it.
  return raise_text(error.kind == ErrorKind::Open ? PyExc_OSError : PyExc_ValueError,
                    error.message);
}

// The qualified name of an object's type, for type errors.
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

PyObject* raise_not_instance(PyObject* object, std::string_view expected) {
  if (object == Py_None) {
    return raise_text(PyExc_TypeError, concat({"'None' is not an instance of '", expected, "'"}));
  }
  return raise_text(PyExc_TypeError, concat({"'", type_name_of(object),
                                             "' object is not an instance of '", expected, "'"}));
}

// Adds "while processing '<parameter>'" to the pending exception through its add_note method;
// an exception without one is left as it is.
void add_parameter_note(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    Ref note(PyUnicode_FromFormat("while processing '%s'", parameter));
    Ref result(note ? PyObject_CallMethod(value, "add_note", "O", note.get()) : nullptr);
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// Binds a call's arguments to the six parameters. On success `slots` holds borrowed references
// (null for an omitted parameter); otherwise a TypeError is raised and false returned.
bool bind_arguments(const char* function, const Names& names, PyObject* args, PyObject* kwargs,
                    PyObject* (&slots)[parameter_count]) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > parameter_count) {
    raise_text(PyExc_TypeError,
               concat({function, "() takes from 1 to ", std::to_string(parameter_count),
                       " positional arguments but ", std::to_string(given),
                       given == 1 ? " was" : " were", " given"}));
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        raise_text(PyExc_TypeError, concat({function, "() keywords must be strings"}));
        return false;
      }
      const std::string_view keyword(text, static_cast<std::size_t>(size));
      std::size_t index = 0;
      while (index < parameter_count && keyword != names[index]) ++index;
      if (index == parameter_count) {
        raise_text(PyExc_TypeError,
                   concat({function, "() got an unexpected keyword argument '", keyword, "'"}));
        return false;
      }
      if (slots[index] != nullptr) {
        raise_text(PyExc_TypeError,
                   concat({function, "() got multiple values for argument '", keyword, "'"}));
        return false;
      }
      slots[index] = value;
    }
  }
  if (slots[0] == nullptr) {
    raise_text(PyExc_TypeError,
               concat({function, "() missing 1 required positional argument: '", names[0], "'"}));
    return false;
  }
  return true;
}

// The UTF-8 text of a str argument. The view borrows the str's own UTF-8 form, which lives as
// long as the argument, so a large input is not copied. Raises (with the note) and returns
// nothing on failure.
std::optional<std::string_view> text_argument(PyObject* object, const char* parameter) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

// The UTF-8 text of the data argument. An ASCII str lends its own bytes; any other gets a UTF-8
// copy held by `owner`, which the caller releases once the conversion is done:
// PyUnicode_AsUTF8AndSize would cache that copy in the str for as long as the str lives, an
// input's worth of memory held while the output is decoded into a str of its own.
std::optional<std::string_view> data_argument(PyObject* object, const char* parameter, Ref& owner) {
  if (!PyUnicode_Check(object)) return text_argument(object, parameter);
  Ref is_ascii(PyObject_CallMethod(object, "isascii", nullptr));
  if (!is_ascii) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  if (is_ascii.get() == Py_True) return text_argument(object, parameter);
  owner = Ref(PyUnicode_AsUTF8String(object));
  char* text = nullptr;
  Py_ssize_t size = 0;
  if (!owner || PyBytes_AsStringAndSize(owner.get(), &text, &size) < 0) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  const char* module_text =
      PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
  const char* name_text =
      PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (module_text == nullptr || name_text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view type_name = name_text;
  return std::string_view(module_text) == "numpy" && (type_name == "bool_" || type_name == "bool");
}

// True or False only (integers are refused), or a NumPy boolean read through its __bool__.
std::optional<bool> flag_argument(PyObject* object, const char* parameter) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth >= 0) return truth == 1;
  } else {
    raise_not_instance(object, "bool");
  }
  add_parameter_note(parameter);
  return std::nullopt;
}

// Lets other Python threads run while the core converts, reading files included: it touches no
// Python object, and the texts it borrows belong to immutable str objects that the call keeps
// alive. The lock is taken back however the scope ends, exceptions included.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Converts the parameters after the first into `options`, in parameter order; an omitted one
// keeps its default. Raises (with the note) and returns false at the first that is refused.
bool bind_options(const Names& names, PyObject* const (&slots)[parameter_count],
                  convert::ConversionOptions& options) {
  if (slots[1] != nullptr) {
    const auto text = text_argument(slots[1], names[1]);
    if (!text) return false;
    options.table_name = *text;
  }
  if (slots[2] != nullptr) {
    const auto flag = flag_argument(slots[2], names[2]);
    if (!flag) return false;
    options.create_table = *flag;
  }
  if (slots[3] != nullptr) {
    const auto text = text_argument(slots[3], names[3]);
    if (!text) return false;
    options.dialect = sql::Dialect::lookup(*text);
  }
  if (slots[4] != nullptr && slots[4] != Py_None) {
    const auto text = text_argument(slots[4], names[4]);
    if (!text) return false;
    options.primary_key = std::string(*text);
  }
  if (slots[5] != nullptr) {
    const auto flag = flag_argument(slots[5], names[5]);
    if (!flag) return false;
    options.auto_id = *flag;
  }
  return true;
}

PyObject* run_conversion(const Entry& entry, PyObject* args, PyObject* kwargs) {
  const Names& names = entry.names;
  PyObject* slots[parameter_count] = {};
  if (!bind_arguments(entry.function, names, args, kwargs, slots)) return nullptr;

  Ref input_owner;
  const auto input = entry.from_file ? text_argument(slots[0], names[0])
                                     : data_argument(slots[0], names[0], input_owner);
  if (!input) return nullptr;
  convert::ConversionOptions options;
  options.format = entry.format;
  if (!bind_options(names, slots, options)) return nullptr;

  core::Result<core::ByteBuffer> sql;
  {
    const WithoutGil unlocked;
    if (entry.from_file) {
      sql = convert::convert_file_to_buffer(std::string(*input), std::move(options));
    } else if (auto checked = convert::check_options(std::move(options))) {
      core::MemorySource source(*input);
      sql = convert::convert_to_buffer(source, *checked);
    } else {
      sql = std::unexpected(std::move(checked.error()));
    }
  }
  input_owner = Ref();
  if (!sql) return raise_error(sql.error());
  // Decoding checks the UTF-8 as it copies; only a failure needs the core's message.
  PyObject* text =
      PyUnicode_DecodeUTF8(sql->data(), static_cast<Py_ssize_t>(sql->size()), "strict");
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    if (const auto bad = convert::utf8_error(sql->view())) {
      PyErr_Clear();
      return raise_error(*bad);
    }
  }
  return text;
}

// Copies sys.argv into a list of texts; raises and returns nothing when it is not one.
std::optional<std::vector<std::string>> argv_texts() {
  Ref sys(PyImport_ImportModule("sys"));
  if (!sys) return std::nullopt;
  Ref argv(PyObject_GetAttrString(sys.get(), "argv"));
  if (!argv) return std::nullopt;
  if (PyUnicode_Check(argv.get())) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(argv.get())) {
    raise_not_instance(argv.get(), "Sequence");
    return std::nullopt;
  }
  Ref iterator(PyObject_GetIter(argv.get()));
  if (!iterator) return std::nullopt;
  std::vector<std::string> texts;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(item.get())) {
      raise_not_instance(item.get(), "str");
      return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return std::nullopt;
    texts.emplace_back(text, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return texts;
}

// Writes out what Python code buffered on sys.stdout and sys.stderr, before the command writes
// to the same descriptors and perhaps ends the process underneath it; errors are ignored, they
// are not the command's.
void flush_python_streams() {
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream == nullptr || stream == Py_None) continue;
    Ref result(PyObject_CallMethod(stream, "flush", nullptr));
    if (!result) PyErr_Clear();
  }
}

PyObject* run_cli_main() {
  auto args = argv_texts();
  if (!args) return nullptr;
  // What Python code printed before the call comes before what the command writes.
  flush_python_streams();
  const std::optional<int> status = cli::run_cli(*args, 0, 1, 2);
  if (!status) Py_RETURN_NONE;
  std::exit(*status);
}

// Raises PanicException for a C++ exception that escaped the core, so that no C++ exception
// ever unwinds into the interpreter.
PyObject* raise_panic(PyObject* module, const char* what) {
  Ref type(module != nullptr ? PyObject_GetAttrString(module, "PanicException") : nullptr);
  if (!type) {
    PyErr_Clear();
    return raise_text(PyExc_SystemError, what);
  }
  return raise_text(type.get(), what);
}

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

PyObject* convert_csv_to_sql(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_conversion(csv_text, args, kwargs); });
}
PyObject* convert_json_to_sql(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_conversion(json_text, args, kwargs); });
}
PyObject* convert_csv_file_to_sql(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_conversion(csv_file, args, kwargs); });
}
PyObject* convert_json_file_to_sql(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_conversion(json_file, args, kwargs); });
}
PyObject* cli_main(PyObject* module, PyObject*) noexcept {
  return guarded(module, [] { return run_cli_main(); });
}

#define MORVEL_COMMON_SIGNATURE                                                                 \
  ", table_name=\"morvel_table\", create_table=False, dialect=\"postgres\", primary_key=None, " \
  "auto_id=False)\n--\n\n"

// Static because CPython keeps pointers to method definitions for the life of the process;
// they are never written.
PyMethodDef functions[] = {
    {"convert_csv_to_sql",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_csv_to_sql)),
     METH_VARARGS | METH_KEYWORDS, "convert_csv_to_sql(csv_data" MORVEL_COMMON_SIGNATURE},
    {"convert_json_to_sql",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_json_to_sql)),
     METH_VARARGS | METH_KEYWORDS, "convert_json_to_sql(json_data" MORVEL_COMMON_SIGNATURE},
    {"convert_csv_file_to_sql",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_csv_file_to_sql)),
     METH_VARARGS | METH_KEYWORDS, "convert_csv_file_to_sql(path" MORVEL_COMMON_SIGNATURE},
    {"convert_json_file_to_sql",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_json_file_to_sql)),
     METH_VARARGS | METH_KEYWORDS, "convert_json_file_to_sql(path" MORVEL_COMMON_SIGNATURE},
    {"cli_main", cli_main, METH_NOARGS, "cli_main()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef MORVEL_COMMON_SIGNATURE

// Adds what the method table cannot hold: PanicException, and __all__ naming the functions.
int exec_module_body(PyObject* module) {
  Ref panic(PyErr_NewException("morvel.PanicException", PyExc_BaseException, nullptr));
  if (!panic || PyModule_AddObjectRef(module, "PanicException", panic.get()) < 0) return -1;
  Ref all(PyList_New(0));
  if (!all) return -1;
  for (const PyMethodDef* function = functions; function->ml_name != nullptr; ++function) {
    Ref name(PyUnicode_FromString(function->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

int exec_module(PyObject* module) noexcept {
  try {
    return exec_module_body(module);
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "morvel failed to initialise");
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "morvel",   // m_name
    "",         // m_doc
    0,          // m_size: the module keeps no state
    functions,  // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace morvel::python

PyMODINIT_FUNC PyInit_morvel(void) { return PyModuleDef_Init(&morvel::python::definition); }
