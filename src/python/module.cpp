// The CPython extension module: binds arguments, calls one core function, maps the outcome.
// Written against the stable ABI only, so one build imports in every CPython from 3.11 on. The
// other files of this folder bind arguments (arguments), raise errors in Python's words
// (errors), build the script's str while the core runs without the GIL (script), and load into a
// database (load).

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/run_cli.hpp"
#include "convert/option_table.hpp"
#include "convert/options.hpp"
#include "convert/pipeline.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/standard_streams.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/iterate.hpp"
#include "python/load.hpp"
#include "python/output.hpp"
#include "python/ref.hpp"
#include "python/script.hpp"

namespace morvel::python {

namespace {

using convert::Format;

constexpr Function csv_text{"convert_csv_to_sql", "csv_data", Format::Csv, false, true};
constexpr Function json_text{"convert_json_to_sql", "json_data", Format::Json, false, true};
constexpr Function csv_file{"convert_csv_file_to_sql", "path", Format::Csv, true, true};
constexpr Function json_file{"convert_json_file_to_sql", "path", Format::Json, true, true};
constexpr Function csv_load{"load_csv", "csv_data", Format::Csv, false, false, true};
constexpr Function json_load{"load_json", "json_data", Format::Json, false, false, true};
constexpr Function csv_file_load{"load_csv_file", "path", Format::Csv, true, false, true};
constexpr Function json_file_load{"load_json_file", "path", Format::Json, true, false, true};
constexpr Function csv_text_iter{"iter_csv_to_sql", "csv_data", Format::Csv, false};
constexpr Function json_text_iter{"iter_json_to_sql", "json_data", Format::Json, false};
constexpr Function csv_file_iter{"iter_csv_file_to_sql", "path", Format::Csv, true};
constexpr Function json_file_iter{"iter_json_file_to_sql", "path", Format::Json, true};

// Converts the call's input (the data, or the file at the path) into `held`, or into the file
// at `to_path` when there is one. As the command does, the input is opened first, then every
// check that can refuse the call runs, and only then is the output file created or emptied.
// `output_failed` tells an output that cannot be opened from an input that cannot. The input
// file is read, never mapped: a file that shrinks under a mapping raises SIGBUS, which would end
// the calling process.
// With `files`, the call reads those files as one input instead, each checked against the output.
core::Status convert_call(const Function& function, std::string_view input,
                          const std::optional<std::vector<std::string>>& files,
                          convert::ConversionOptions options, const Output& output, HeldSink& held,
                          WithoutGil& unlocked, bool& output_failed) {
  std::optional<core::Fd> file;
  if (files) {
    for (const std::string& path : *files) {
      if (!output.path) break;
      auto opened = core::open_for_reading(path);
      if (!opened) return std::unexpected(convert::in_input(std::move(opened.error()), path));
      auto distinct = cli::check_distinct(opened->get(), std::string(*output.path));
      if (!distinct) return distinct;
    }
  } else if (function.from_file) {
    auto opened = core::open_for_reading(std::string(input));
    if (!opened) return std::unexpected(std::move(opened.error()));
    file.emplace(std::move(*opened));
    if (output.path) {
      auto distinct = cli::check_distinct(file->get(), std::string(*output.path));
      if (!distinct) return distinct;
    }
  }
  auto checked = convert::check_options(std::move(options));
  if (!checked) return std::unexpected(std::move(checked.error()));
  std::optional<core::FdSink> written;
  if (output.path) {
    auto opened = core::open_for_writing(std::string(*output.path));
    output_failed = !opened;
    if (!opened) return std::unexpected(std::move(opened.error()));
    // On a failure it writes out what it still buffers when the call returns, as the command.
    written.emplace(std::move(*opened), &unlocked);
  }
  core::ByteSink& sink = written ? static_cast<core::ByteSink&>(*written) : held;
  if (files) return convert::convert_files(*files, sink, *checked, &unlocked);
  if (file) {
    core::FdSource source(std::move(*file), &unlocked);
    return convert::convert(source, sink, *checked, &unlocked);
  }
  core::MemorySource source(input);
  return convert::convert(source, sink, *checked, &unlocked);
}

// The outcome of a call that sent its SQL to a file object: what is left goes to it, failure or
// not, for the statements before a failure to stand complete, as on the command line. Not after
// the object's own write raised, whose exception is the call's. False with an exception set.
bool finish_writer(WriterSink& writer, const core::Status& converted) {
  if (!converted && converted.error().kind == core::ErrorKind::Interrupted) return false;
  if (writer.finish()) return true;
  // The conversion's own failure is the one to report; the command ignores this one too.
  if (!converted) PyErr_Clear();
  return !converted;
}

PyObject* run_conversion(PyObject* module, const Function& function, PyObject* args,
                         PyObject* kwargs) {
  const std::vector<const convert::OptionSpec*> options = options_of(function);
  std::vector<PyObject*> slots(2 + options.size());
  if (!bind_arguments(function, options, args, kwargs, slots)) return nullptr;

  Inputs inputs;
  if (!take_inputs(function, slots[0], inputs)) return nullptr;
  const std::optional<std::vector<std::string>>& files = inputs.files;
  convert::ConversionOptions record;
  if (!bind_options(function, options, slots, inputs.text, record)) return nullptr;
  Output output;
  if (!bind_output(slots.back(), output)) return nullptr;

  core::Status converted;
  ScriptText script;
  std::optional<WriterSink> writer;
  if (output.is_file_object()) writer.emplace(output.given);
  HeldSink& held = writer ? static_cast<HeldSink&>(*writer) : script;
  std::vector<core::Notice> warnings;
  bool output_failed = false;
  // Files opened for the call must not take the number of a standard stream that the process
  // closed, which its other threads may still write to.
  std::optional<core::StandardStreams> streams;
  if (function.from_file || output.given != nullptr) streams.emplace(0, 1, 2);
  {
    WithoutGil unlocked(warnings, &held);
    if (writer) writer->watch(&unlocked);
    converted = convert_call(function, inputs.text, files, std::move(record), output, held, unlocked,
                             output_failed);
  }
  inputs.utf8 = core::ByteBuffer();
  if (writer && !finish_writer(*writer, converted) && converted) return nullptr;
  PyObject* filename = output_failed                  ? output.given
                       : function.from_file && !files ? slots[0]
                                                      : nullptr;
  if (!settle(module, warnings, converted, filename)) return nullptr;
  if (output.given != nullptr) Py_RETURN_NONE;
  return script.take();
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

// Runs the command and raises SystemExit with its status instead of ending the process, so that
// a calling script's finally blocks, atexit handlers and buffered files still run and flush.
PyObject* run_cli_main() {
  auto args = argv_texts();
  if (!args) return nullptr;
  // What Python code printed before the call comes before what the command writes.
  flush_python_streams();
  std::optional<int> status;
  std::vector<core::Notice> unused;  // the command prints its own warnings
  {
    WithoutGil unlocked(unused);
    status = cli::run_cli(*args, 0, 1, 2, &unlocked);
  }
  if (!status) Py_RETURN_NONE;
  // A Ctrl-C ends the command with its status, without a traceback.
  if (*status == cli::interrupted_status) PyErr_Clear();
  Ref code(PyLong_FromLong(*status));
  if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
  return nullptr;
}

template <const Function& F>
PyObject* conversion(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_conversion(module, F, args, kwargs); });
}
PyObject* execute(PyObject* module, PyObject* args) noexcept {
  return guarded(module, [&] { return run_execute(module, args); });
}
template <const Function& F>
PyObject* loading(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(module, [&] { return run_load(module, F, args, kwargs); });
}
// The iter_* functions are bound to the iterators' type, which knows the module.
template <const Function& F>
PyObject* iterating(PyObject* type, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* module = PyType_GetModule(reinterpret_cast<PyTypeObject*>(type));
  return guarded(module, [&] { return start_iteration(type, F, args, kwargs); });
}
PyObject* cli_main(PyObject* module, PyObject*) noexcept {
  return guarded(module, [] { return run_cli_main(); });
}

template <const Function& F>
constexpr PyCFunction conversion_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(conversion<F>));
}
template <const Function& F>
constexpr PyCFunction load_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loading<F>));
}
template <const Function& F>
constexpr PyCFunction iterate_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterating<F>));
}

constexpr std::string_view returns_doc =
    "Returns the whole script as a str: the CREATE TABLE statement, if asked for, and\n"
    "one INSERT statement per record, each on its own line; None when output is given.\n\n";
constexpr std::string_view python_doc =
    "dialect also takes \"postgresql\", \"pg\", \"sqlite3\" and \"mariadb\", and every name\n"
    "in any letter case; any other text means PostgreSQL and warns (UserWarning).\n"
    "primary_key and auto_id need create_table=True. null_values is a sequence of\n"
    "str. jobs=None converts on one thread per processor; the result is the same for\n"
    "any number. The CSV options (delimiter to row_names) are refused for JSON.\n"
    "Values the table may lose are reported as morvel.DataWarning.\n";
constexpr std::string_view output_doc =
    "output (where the command has --output)\n"
    "    None returns the script as a str. A path (str, bytes or os.PathLike), or a\n"
    "    binary file object with a write method (an open file, sys.stdout.buffer,\n"
    "    io.BytesIO), receives the SQL as it is made instead, in bounded memory. A path\n"
    "    is created or emptied only once the options are checked, and is refused when\n"
    "    it is the input file. A file object is written a block of a megabyte or more\n"
    "    at a time and is not flushed or closed; the exception of its write propagates\n"
    "    unchanged. After a failure, the statements written before it stay.\n";
constexpr std::string_view raises_doc =
    "ValueError for malformed data or options (no partial script is returned),\n"
    "TypeError for an argument of the wrong type, and KeyboardInterrupt when Ctrl-C\n"
    "stops the conversion.";

// The documentation of a conversion function: the text signature line that introspection
// reads, then the help, with each option the command's option beside it.
std::string doc_of(const Function& function) {
  const std::string_view format = function.format == Format::Csv ? "CSV" : "JSON";
  std::string doc = concat({function.name, signature(function), "\n--\n\n"});
  doc += function.from_file
             ? concat({"Turn the ", format, " file at path into SQL.\n\n", path_list_doc})
             : concat({"Turn ", function.first, " (", format, " text) into SQL.\n\n"});
  doc += returns_doc;
  doc += concat({"Each parameter after ", function.first,
                 " is the morvel command's option named beside it:\n\n"});
  doc += options_doc(function);
  doc += output_doc;
  doc += concat({"\n", python_doc, input_doc(function), "Raises "});
  doc += function.from_file
             ? "OSError (FileNotFoundError, PermissionError, ...) when the file or output\n"
               "cannot be opened, "
             : "OSError (FileNotFoundError, PermissionError, ...) when output cannot be\n"
               "opened, ";
  doc += raises_doc;
  return doc;
}

// The module's functions. Built once, on the first import, and never written after: CPython
// keeps pointers to the definitions and their texts for the life of the process.
class Definitions {
 public:
  Definitions()
      : docs_{doc_of(csv_text),           doc_of(json_text),
              doc_of(csv_file),           doc_of(json_file),
              load_doc(csv_load),         load_doc(json_load),
              load_doc(csv_file_load),    load_doc(json_file_load),
              iterate_doc(csv_text_iter), iterate_doc(json_text_iter),
              iterate_doc(csv_file_iter), iterate_doc(json_file_iter)},
        methods_{{
            {csv_text.name, conversion_function<csv_text>(), METH_VARARGS | METH_KEYWORDS,
             docs_[0].c_str()},
            {json_text.name, conversion_function<json_text>(), METH_VARARGS | METH_KEYWORDS,
             docs_[1].c_str()},
            {csv_file.name, conversion_function<csv_file>(), METH_VARARGS | METH_KEYWORDS,
             docs_[2].c_str()},
            {json_file.name, conversion_function<json_file>(), METH_VARARGS | METH_KEYWORDS,
             docs_[3].c_str()},
            {"cli_main", cli_main, METH_NOARGS,
             "cli_main()\n--\n\n"
             "Run the morvel command with the arguments in sys.argv, reading and writing the\n"
             "process's standard streams or the files it names. Returns None after a\n"
             "conversion; otherwise raises SystemExit with the command's status (0 after\n"
             "--help or --version, 2 after a usage error, 1 after a failure, 130 after\n"
             "Ctrl-C, 141 when the output pipe closed)."},
            {csv_load.name, load_function<csv_load>(), METH_VARARGS | METH_KEYWORDS,
             docs_[4].c_str()},
            {json_load.name, load_function<json_load>(), METH_VARARGS | METH_KEYWORDS,
             docs_[5].c_str()},
            {csv_file_load.name, load_function<csv_file_load>(), METH_VARARGS | METH_KEYWORDS,
             docs_[6].c_str()},
            {json_file_load.name, load_function<json_file_load>(), METH_VARARGS | METH_KEYWORDS,
             docs_[7].c_str()},
            {"_execute", execute, METH_VARARGS,
             "_execute(url, statements, /)\n--\n\n"
             "Run each str of statements in order on one connection to the database at url;\n"
             "stop at the first failure and raise it as a load does. A transaction left open\n"
             "is rolled back. For morvel_dask, which moves staged rows between tables."},
            {nullptr, nullptr, 0, nullptr},
        }},
        iterators_{{
            {csv_text_iter.name, iterate_function<csv_text_iter>(), METH_VARARGS | METH_KEYWORDS,
             docs_[8].c_str()},
            {json_text_iter.name, iterate_function<json_text_iter>(), METH_VARARGS | METH_KEYWORDS,
             docs_[9].c_str()},
            {csv_file_iter.name, iterate_function<csv_file_iter>(), METH_VARARGS | METH_KEYWORDS,
             docs_[10].c_str()},
            {json_file_iter.name, iterate_function<json_file_iter>(), METH_VARARGS | METH_KEYWORDS,
             docs_[11].c_str()},
        }} {}
  Definitions(const Definitions&) = delete;  // the methods point into the docs
  Definitions& operator=(const Definitions&) = delete;

  PyMethodDef* methods() noexcept { return methods_.data(); }
  std::span<PyMethodDef> iterators() noexcept { return iterators_; }

 private:
  std::array<std::string, 12> docs_;
  std::array<PyMethodDef, 11> methods_;
  std::array<PyMethodDef, 4> iterators_;  // bound to the iterators' type, not to the module
};

// Adds the functions, PanicException, DataWarning, __version__ and __all__ naming the
// functions.
int exec_module_body(PyObject* module) {
  static Definitions definitions;
  if (PyModule_AddFunctions(module, definitions.methods()) < 0) return -1;
  // An internal fault is an error a caller may catch with `except Exception`; it stays apart
  // from ValueError, which means the input or the options are at fault.
  Ref panic(PyErr_NewException("morvel.PanicException", PyExc_Exception, nullptr));
  if (!panic || PyModule_AddObjectRef(module, "PanicException", panic.get()) < 0) return -1;
  Ref data_warning(PyErr_NewExceptionWithDoc(
      "morvel.DataWarning",
      "A conversion went through, but the SQL may not keep every value, or the input was "
      "read in a way worth knowing about.",
      PyExc_UserWarning, nullptr));
  if (!data_warning || PyModule_AddObjectRef(module, "DataWarning", data_warning.get()) < 0) {
    return -1;
  }
  Ref all(PyList_New(0));
  if (!all) return -1;
  for (const PyMethodDef* function = definitions.methods(); function->ml_name != nullptr;
       ++function) {
    if (function->ml_name[0] == '_') continue;  // the module's own helpers are not its API
    Ref name(PyUnicode_FromString(function->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  Ref iterator_type(make_iterator_type(module));
  Ref module_name(PyModule_GetNameObject(module));
  if (!iterator_type || !module_name) return -1;
  for (PyMethodDef& definition : definitions.iterators()) {
    Ref function(PyCFunction_NewEx(&definition, iterator_type.get(), module_name.get()));
    Ref name(PyUnicode_FromString(definition.ml_name));
    if (!function || !name ||
        PyModule_AddObjectRef(module, definition.ml_name, function.get()) < 0 ||
        PyList_Append(all.get(), name.get()) < 0) {
      return -1;
    }
  }
  if (PyModule_AddStringConstant(module, "__version__", MORVEL_VERSION) < 0) return -1;
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
    "morvel",  // m_name
    "Turn raw data into ready-to-run SQL.\n\n"
    "convert_csv_to_sql and convert_json_to_sql turn text, convert_csv_file_to_sql\n"
    "and convert_json_file_to_sql a file, into an SQL script for PostgreSQL, SQLite\n"
    "or MySQL; load_csv, load_json, load_csv_file and load_json_file put the rows\n"
    "straight into such a database; iter_csv_to_sql, iter_json_to_sql,\n"
    "iter_csv_file_to_sql and iter_json_file_to_sql give the script a statement at\n"
    "a time; cli_main runs the morvel command.",  // m_doc
    0,                                            // m_size: the module keeps no state
    nullptr,                                      // m_methods: added by exec_module
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace morvel::python

PyMODINIT_FUNC PyInit_morvel(void) { return PyModuleDef_Init(&morvel::python::definition); }
