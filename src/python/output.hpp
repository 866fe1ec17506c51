#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "python/ref.hpp"
#include "python/script.hpp"

namespace morvel::python {

// Where output= sends a conversion's SQL: back as a str (None, or left out), into the file at a
// path, or through the write method of a binary file object.
struct Output {
  PyObject* given = nullptr;              // the argument, borrowed from the call; null for None
  std::optional<std::string_view> path;   // the file's name, borrowing `name`
  Ref name;                               // the encoded path
  [[nodiscard]] bool is_file_object() const noexcept { return given != nullptr && !path; }
};

// Reads the output= argument (null when left out) into `output`. Raises TypeError, with the
// note naming the parameter, and returns false for anything but None, a path or an object with
// a write method.
bool bind_output(PyObject* object, Output& output);

// A sink over a Python binary file object. The core writes into its buffer without the lock; once
// it holds a megabyte, or at a check-in, the sink asks the monitor to take the lock back and
// passes it on to the object's write in blocks of a megabyte at most, so that memory stays a few
// megabytes whatever the input's size.
class WriterSink final : public HeldSink {
 public:
  // With the lock held; keeps a reference to `file` for its life.
  explicit WriterSink(PyObject* file) : file_(Py_NewRef(file)) {}

  [[nodiscard]] core::Status write(std::string_view bytes) override;
  [[nodiscard]] core::Status flush() override { return {}; }
  [[nodiscard]] core::ByteBuffer* buffer() noexcept override { return &bytes_; }
  [[nodiscard]] core::Status appended() override;
  bool collect() override;

  // The monitor whose check() takes the lock back to pass the buffer on: the WithoutGil of the
  // conversion, which outlives it. Never fails.
  void watch(core::Monitor* monitor) noexcept { monitor_ = monitor; }

  // With the lock held: passes on all that is left. The object's own exception stays set when
  // its write raises, and false is returned.
  bool finish();

 private:
  bool pass_on();

  Ref file_;
  core::Monitor* monitor_ = nullptr;
  core::ByteBuffer bytes_;       // handed over by the core and not yet written
  std::size_t handed_over_ = 0;  // bytes_ the core is done with
};

}  // namespace morvel::python
