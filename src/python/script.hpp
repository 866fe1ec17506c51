#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "python/ref.hpp"

namespace morvel::python {

// The script of a conversion, built into one str while the core writes it. At each check-in,
// where the lock is taken back anyway, what the core has handed over is decoded onto the end of
// the str, which grows in place; the whole script is never held twice, as UTF-8 and as a str (on
// a 217 MB CSV, 372 MB of fresh memory and its page faults saved).
class ScriptText final : public core::ByteSink {
 public:
  [[nodiscard]] core::Status write(std::string_view bytes) override;
  [[nodiscard]] core::Status flush() override { return {}; }
  [[nodiscard]] core::ByteBuffer* buffer() noexcept override { return &bytes_; }
  [[nodiscard]] core::Status appended() override;

  // With the lock held: decodes the characters handed over so far onto the text. Bytes that are
  // not UTF-8 stop the decoding, for take() to report. Raises and returns false when Python runs
  // out of memory.
  bool collect();

  // With the lock held: the whole script, or null with the exception set (a ValueError with the
  // core's message for a script that is not UTF-8).
  PyObject* take();

 private:
  [[nodiscard]] std::size_t character_start(std::size_t at) const noexcept;
  bool decode_up_to(std::size_t limit);

  core::ByteBuffer bytes_;       // handed over by the core and not yet decoded
  std::size_t handed_over_ = 0;  // bytes_ the core is done with
  Ref text_;                     // the script decoded so far
  bool is_invalid_ = false;      // a piece was not UTF-8: decoding stopped before it
};

// Lets other Python threads run while the core converts, reading files included: it touches no
// Python object, and the texts it borrows belong to the call or to immutable str objects that the
// call keeps alive. When the core checks in (every few megabytes, or after a signal interrupted a
// system call), the lock is taken back for a moment to run Python's signal handlers and to decode
// what the core wrote so far onto the script, if there is one. A handler that raises, such as
// Ctrl-C's KeyboardInterrupt, or a decoding that runs out of memory stops the conversion, and its
// exception stays set for the caller to raise. The lock is taken back however the scope ends,
// exceptions included.
class WithoutGil final : public core::Monitor {
 public:
  // The conversion's warnings are kept in `warnings`, to be emitted with the lock held; `script`,
  // if given, is the sink the conversion writes to.
  explicit WithoutGil(std::vector<core::Notice>& warnings, ScriptText* script = nullptr) noexcept
      : state_(PyEval_SaveThread()), warnings_(warnings), script_(script) {}
  ~WithoutGil() override { PyEval_RestoreThread(state_); }

  core::Status check() override;
  void warn(core::Notice notice) override { warnings_.push_back(std::move(notice)); }

 private:
  PyThreadState* state_;
  std::vector<core::Notice>& warnings_;
  ScriptText* script_;
  bool raised_ = false;
};

}  // namespace morvel::python
