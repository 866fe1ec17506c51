#include "python/iterate.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "convert/pipeline.hpp"
#include "convert/statement_queue.hpp"
#include "core/io.hpp"
#include "python/errors.hpp"

namespace morvel::python {
namespace {

using namespace std::chrono_literals;

// How long a next() waits for statements before it runs Python's signal handlers, so that Ctrl-C
// raises KeyboardInterrupt promptly.
constexpr auto signal_poll = 50ms;

// One conversion being iterated, and where the caller stands in it.
struct Iteration {
  Ref input;                    // the str whose UTF-8 the conversion reads, kept alive
  core::ByteBuffer input_utf8;  // or its UTF-8, made when it is not ASCII
  std::optional<convert::StatementQueue> queue;
  convert::StatementBatch batch;  // the statements being handed out
  std::size_t next = 0;           // the batch's next statement
  std::size_t warned = 0;         // the batch's warnings emitted
  std::uint64_t handed_out = 0;   // bytes of the script handed out before the batch's next
  // A next() is under way: it may wait without the lock, or run Python code (a warning's
  // filter, a signal handler) that comes back to the same iterator.
  bool is_running = false;
};

struct IteratorObject {
  PyObject base;
  std::optional<Iteration> iteration;  // empty once the iteration is over
};

IteratorObject* as_iterator(PyObject* object) noexcept {
  return reinterpret_cast<IteratorObject*>(object);
}

// Lets other threads have the lock for the scope.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;  // takes the lock back once
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Ends the iteration: the conversion's thread is stopped and gone, without the lock, which it
// never needs; then the input is let go. Never fails.
void end_iteration(IteratorObject* self) noexcept {
  if (!self->iteration) return;
  if (self->iteration->queue) {
    const Unlocked unlocked;
    self->iteration->queue->stop();
  }
  self->iteration.reset();
}

// Waits for the next batch, running Python's signal handlers now and then. False with the
// handler's exception (KeyboardInterrupt) set.
bool wait_for_batch(Iteration& it) {
  it.queue->give_back(std::exchange(it.batch, {}));
  it.next = 0;
  it.warned = 0;
  for (;;) {
    std::optional<convert::StatementBatch> taken;
    {
      const Unlocked unlocked;
      taken = it.queue->take(signal_poll);
    }
    if (taken) {
      it.batch = std::move(*taken);
      return true;
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// The batch's next statement as a str; null with the exception set.
PyObject* hand_out(Iteration& it) {
  const std::size_t start = it.next == 0 ? 0 : it.batch.ends[it.next - 1];
  const std::string_view statement =
      it.batch.bytes.view().substr(start, it.batch.ends[it.next] - start);
  PyObject* text =
      PyUnicode_DecodeUTF8(statement.data(), static_cast<Py_ssize_t>(statement.size()), "strict");
  if (text == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    // Placed in the whole script, as the conversion functions place it.
    if (const auto bad = convert::utf8_error(statement, it.handed_out)) {
      PyErr_Clear();
      return raise_error(*bad);
    }
    return nullptr;
  }
  ++it.next;
  it.handed_out += statement.size();
  return text;
}

// The next statement, the warnings due before it emitted first; null at the end (with no
// exception set) or with the exception set.
PyObject* advance(PyObject* module, Iteration& it) {
  for (;;) {
    if (it.warned < it.batch.warnings.size() && it.batch.warnings[it.warned].first <= it.next) {
      Ref category(PyObject_GetAttrString(module, "DataWarning"));
      if (!category) return nullptr;
      for (; it.warned < it.batch.warnings.size() && it.batch.warnings[it.warned].first <= it.next;
           ++it.warned) {
        const std::string sentence = python_sentence(it.batch.warnings[it.warned].second);
        if (PyErr_WarnEx(category.get(), sentence.c_str(), 1) < 0) return nullptr;
      }
    }
    if (it.next < it.batch.ends.size()) return hand_out(it);
    if (it.batch.outcome) {
      if (it.batch.fault) std::rethrow_exception(it.batch.fault);
      if (!*it.batch.outcome) return raise_error(it.batch.outcome->error());
      return nullptr;
    }
    if (!wait_for_batch(it)) return nullptr;
  }
}

// Refuses a call while a next() is under way, as a generator does: two would take each other's
// statements, and a close() would free what the waiting one uses.
bool is_running(const IteratorObject* self) {
  if (!self->iteration || !self->iteration->is_running) return false;
  PyErr_SetString(PyExc_ValueError, "iterator already executing");
  return true;
}

PyObject* next_statement(PyObject* object) noexcept {
  IteratorObject* self = as_iterator(object);
  if (!self->iteration || is_running(self)) return nullptr;
  PyObject* module = PyType_GetModule(Py_TYPE(object));
  self->iteration->is_running = true;
  PyObject* statement = guarded(module, [&] { return advance(module, *self->iteration); });
  self->iteration->is_running = false;
  // After the last statement, a failure, Ctrl-C or a warning turned error, no thread is left.
  if (statement == nullptr) end_iteration(self);
  return statement;
}

PyObject* close_iterator(PyObject* object, PyObject*) noexcept {
  if (is_running(as_iterator(object))) return nullptr;
  end_iteration(as_iterator(object));
  Py_RETURN_NONE;
}

int traverse_iterator(PyObject* object, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(object));
  const IteratorObject* self = as_iterator(object);
  if (self->iteration) Py_VISIT(self->iteration->input.get());
  return 0;
}

void free_iterator(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  IteratorObject* self = as_iterator(object);
  end_iteration(self);
  self->iteration.~optional();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
  Py_DECREF(type);
}

PyMethodDef iterator_methods[] = {
    {"close", close_iterator, METH_NOARGS,
     "close()\n--\n\nStop the conversion and end the iteration; the statements not yet taken are "
     "dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_iterator)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_iterator)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_statement)},
    {Py_tp_methods, iterator_methods},
    {Py_tp_doc, const_cast<char*>("The statements of one conversion, one str each.")},
    {0, nullptr},
};

PyType_Spec iterator_spec = {"morvel.StatementIterator", sizeof(IteratorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                             iterator_slots};

}  // namespace

PyObject* make_iterator_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &iterator_spec, nullptr);
}

PyObject* start_iteration(PyObject* type, const Function& function, PyObject* args,
                          PyObject* kwargs) {
  const std::vector<const convert::OptionSpec*> options = options_of(function);
  std::vector<PyObject*> slots(function.leading() + options.size());
  if (!bind_arguments(function, options, args, kwargs, slots)) return nullptr;

  core::ByteBuffer input_utf8;
  Ref path_name;
  const auto input = input_argument(function, slots[0], input_utf8, path_name);
  if (!input) return nullptr;
  convert::ConversionOptions record;
  if (!bind_options(function, options, slots, *input, record)) return nullptr;
  // As the conversion functions do: the input opened first, then the options checked.
  std::unique_ptr<core::ByteSource> source;
  int descriptor = -1;
  if (function.from_file) {
    core::Result<core::Fd> opened = core::Fd();
    {
      // A pipe's name waits in open() for its writer.
      const Unlocked unlocked;
      opened = core::open_for_reading(std::string(*input));
    }
    if (!opened) return raise_error(opened.error(), slots[0]);
    descriptor = opened->get();
    source = std::make_unique<core::FdSource>(std::move(*opened));
  } else {
    source = std::make_unique<core::MemorySource>(*input);
  }
  auto checked = convert::check_options(std::move(record));
  if (!checked) return raise_error(checked.error(), function.from_file ? slots[0] : nullptr);

  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  Ref object(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
  if (!object) return nullptr;
  IteratorObject* self = as_iterator(object.get());
  new (&self->iteration) std::optional<Iteration>(std::in_place);
  Iteration& it = *self->iteration;
  if (!function.from_file) it.input = Ref(Py_NewRef(slots[0]));
  // Moving the buffer keeps its block, which the source's view borrows.
  it.input_utf8 = std::move(input_utf8);
  it.queue.emplace(std::move(source), descriptor, std::move(*checked));
  return object.release();
}

std::string iterate_doc(const Function& function) {
  const std::string_view format = function.format == convert::Format::Csv ? "CSV" : "JSON";
  std::string doc = concat({function.name, signature(function), "\n--\n\n"});
  doc += function.from_file
             ? concat({"Turn the ", format, " file at path into SQL, a statement at a time.\n\n",
                       "path is one file: a list of paths is for the convert and load\n"
                       "functions.\n\n"})
             : concat({"Turn ", function.first, " (", format,
                       " text) into SQL, a statement at a time.\n\n"});
  doc +=
      "Returns an iterator of str. Each item is one statement as a SQL client runs it\n"
      "alone: the CREATE TABLE statement, one INSERT (of one record, or of up to\n"
      "batch_size records), BEGIN or START TRANSACTION, COMMIT, or a whole COPY block\n"
      "(its COPY line, its data lines and the closing \\. line). Each ends with the line\n"
      "breaks that follow it in the script, so ''.join() of the items is the script the\n"
      "convert function returns.\n\n"
      "The conversion runs on a thread of its own without the GIL, a few megabytes of\n"
      "statements ahead of the caller, and waits while they are not taken: memory stays\n"
      "bounded whatever the input's size, but for a single statement that is large\n"
      "itself (a batch, or a COPY block, which holds every record until the columns\n"
      "change). Breaking out of the loop, close() or dropping the iterator stops the\n"
      "conversion and its thread.\n\n";
  doc += concat({"Each parameter after ", function.first,
                 " is the morvel command's option named beside it:\n\n"});
  doc += options_doc(function);
  doc += function.from_file ? "encoding names the file's encoding.\n\n"
                            : "encoding is for the file functions: a str is text already.\n\n";
  doc += function.from_file
             ? "Raises, from the call, TypeError for an argument of the wrong type, ValueError\n"
               "for options that are refused and OSError when the file cannot be opened, as\n"
               "the convert functions do.\n\n"
             : "Raises, from the call, TypeError for an argument of the wrong type and ValueError\n"
               "for options that are refused, as the convert functions do.\n\n";
  doc +=
      "Bad data raises ValueError from next() once the statements before the bad\n"
      "record are taken, and Ctrl-C raises KeyboardInterrupt from next(); the\n"
      "iteration is then over. Values the table may lose are reported as\n"
      "morvel.DataWarning before the statement that follows them.";
  return doc;
}

}  // namespace morvel::python
