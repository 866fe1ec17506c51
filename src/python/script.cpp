#include "python/script.hpp"

#include <utility>

#include "convert/pipeline.hpp"
#include "python/errors.hpp"

namespace morvel::python {
namespace {

// Bytes decoded into one piece before it is appended. Smaller pieces make the text grow, and
// perhaps move (mremap), more often; a megabyte measured best.
constexpr std::size_t piece_bytes = 1024 * 1024;
// The first piece is the largest. glibc's malloc maps a block of this size afresh, page faults
// and all, unless it has seen one at least as large freed; then it serves such blocks from
// memory it keeps. A piece takes up to four times its UTF-8 size as a str, so without this
// every later piece of a script with characters beyond Latin-1 came from fresh pages (for a
// 361 MB script with a euro sign every few thousand characters, 170,000 more page faults).
constexpr std::size_t first_piece_bytes = 8 * piece_bytes;

bool is_continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The script as a str. Decoding checks the UTF-8 as it copies; only a failure needs the core's
// message.
PyObject* decode_script(std::string_view sql) {
  PyObject* text = PyUnicode_DecodeUTF8(sql.data(), static_cast<Py_ssize_t>(sql.size()), "strict");
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    if (const auto bad = convert::utf8_error(sql)) {
      PyErr_Clear();
      return raise_error(*bad);
    }
  }
  return text;
}

}  // namespace

core::Status ScriptText::write(std::string_view bytes) {
  bytes_.append(bytes);
  handed_over_ = bytes_.size();
  return {};
}

core::Status ScriptText::appended() {
  handed_over_ = bytes_.size();
  return {};
}

bool ScriptText::collect() {
  // The core may still be writing after what it handed over, so nothing moves then; the last
  // character stays too, in case it is cut short.
  if (handed_over_ != bytes_.size() || bytes_.empty()) return true;
  return decode_up_to(character_start(bytes_.size() - 1));
}

PyObject* ScriptText::take() {
  if (!decode_up_to(bytes_.size())) return nullptr;
  if (!is_invalid_) return text_ ? text_.release() : PyUnicode_FromStringAndSize("", 0);
  // Decoding the text so far back to UTF-8 rebuilds the whole script, so that the error names
  // the same place as decoding the script at once would.
  Py_ssize_t size = 0;
  const char* decoded = text_ ? PyUnicode_AsUTF8AndSize(text_.get(), &size) : "";
  if (decoded == nullptr) return nullptr;
  core::ByteBuffer whole;
  whole.reserve(static_cast<std::size_t>(size) + bytes_.size());
  whole.append({decoded, static_cast<std::size_t>(size)});
  whole.append(bytes_.view());
  return decode_script(whole.view());
}

// The start of the character that holds byte `at`. Three steps back at most: bytes further back
// are not UTF-8, which the decoder reports wherever they are cut.
std::size_t ScriptText::character_start(std::size_t at) const noexcept {
  for (int back = 0; back < 3 && at > 0 && is_continuation(bytes_.data()[at]); ++back) --at;
  return at;
}

bool ScriptText::decode_up_to(std::size_t limit) {
  std::size_t done = 0;
  while (done < limit && !is_invalid_) {
    const std::size_t size = text_ ? piece_bytes : first_piece_bytes;
    const std::size_t end = limit - done > size ? character_start(done + size) : limit;
    Ref piece(
        PyUnicode_DecodeUTF8(bytes_.data() + done, static_cast<Py_ssize_t>(end - done), "strict"));
    if (!piece) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return false;
      PyErr_Clear();
      is_invalid_ = true;
    } else if (!text_) {
      text_ = std::move(piece);
      done = end;
    } else {
      // In place: the text's one reference is ours, so the str is resized rather than copied.
      PyObject* text = text_.release();
      PyUnicode_Append(&text, piece.get());
      text_ = Ref(text);
      if (!text_) return false;
      done = end;
    }
  }
  bytes_.drop_front(done);
  handed_over_ = bytes_.size();
  return true;
}

core::Status WithoutGil::check() {
  if (!raised_) {
    PyEval_RestoreThread(state_);
    raised_ = PyErr_CheckSignals() < 0 || (script_ != nullptr && !script_->collect());
    state_ = PyEval_SaveThread();
  }
  if (raised_) return std::unexpected(core::Error{core::ErrorKind::Interrupted, "interrupted"});
  return {};
}

}  // namespace morvel::python
