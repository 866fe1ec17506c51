#include "python/output.hpp"

#include <algorithm>

#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace morvel::python {
namespace {

// Bytes the sink gathers before it passes them on, and the most one write call is given. Each
// call copies its block into a bytes object, which a file object may keep; a megabyte keeps
// the calls few and the copies in memory the allocator reuses.
constexpr std::size_t block_bytes = 1024 * 1024;

}  // namespace

bool bind_output(PyObject* object, Output& output) {
  if (object == nullptr || object == Py_None) return true;
  if (is_path(object)) {
    output.path = path_argument(object, "output", output.name);
    if (!output.path) return false;
  } else if (Ref write{PyObject_GetAttrString(object, "write")}) {
    if (!PyCallable_Check(write.get())) {
      raise_not_instance(object, "str | bytes | os.PathLike | BinaryIO");
      add_parameter_note("output");
      return false;
    }
  } else {
    PyErr_Clear();
    raise_not_instance(object, "str | bytes | os.PathLike | BinaryIO");
    add_parameter_note("output");
    return false;
  }
  output.given = object;
  return true;
}

core::Status WriterSink::write(std::string_view bytes) {
  bytes_.append(bytes);
  return appended();
}

core::Status WriterSink::appended() {
  handed_over_ = bytes_.size();
  if (handed_over_ < block_bytes || monitor_ == nullptr) return {};
  return monitor_->check();
}

bool WriterSink::collect() {
  // The core may still be writing after what it handed over, so nothing moves then.
  if (handed_over_ != bytes_.size() || bytes_.empty()) return true;
  return pass_on();
}

bool WriterSink::finish() { return bytes_.empty() || pass_on(); }

// A raw file (io.FileIO, a socket's unbuffered file) may take part of a block and say how much;
// the rest goes in further calls. Any other result (a buffered file's count of all, None from
// a writer that returns nothing) means the whole block was taken.
bool WriterSink::pass_on() {
  std::size_t done = 0;
  while (done < bytes_.size()) {
    const std::size_t left = std::min(bytes_.size() - done, block_bytes);
    Ref block(PyBytes_FromStringAndSize(bytes_.data() + done, static_cast<Py_ssize_t>(left)));
    Ref taken(block ? PyObject_CallMethod(file_.get(), "write", "O", block.get()) : nullptr);
    if (!taken) return false;
    Py_ssize_t count = static_cast<Py_ssize_t>(left);
    if (PyLong_Check(taken.get())) {
      count = PyLong_AsSsize_t(taken.get());
      if (count < 0 && PyErr_Occurred() != nullptr) PyErr_Clear();
      // Going round again after a write that took nothing would never end.
      if (count == 0) {
        raise_text(PyExc_OSError, "output's write() took none of the bytes");
        return false;
      }
      if (count < 0 || static_cast<std::size_t>(count) > left) count = static_cast<Py_ssize_t>(left);
    }
    done += static_cast<std::size_t>(count);
  }
  bytes_.clear();
  handed_over_ = 0;
  return true;
}

}  // namespace morvel::python
