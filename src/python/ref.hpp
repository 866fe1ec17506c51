#pragma once

// Every file of the module includes Python.h through here, with the sizes CPython asks for.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morvel::python {

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

  // The object, still owned here, or null. Never fails.
  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // The object, now the caller's to release, or null. Never fails.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace morvel::python
