#include "sql/split.hpp"

#include <algorithm>

#include "core/scan.hpp"

namespace morvel::sql {

namespace {

// A COPY block's data ends at a line holding "\." alone; the data escapes every backslash, so no
// line of it can read so.
constexpr std::string_view copy_end = "\n\\.\n";

}  // namespace

std::optional<std::size_t> StatementSplitter::next_end(std::string_view script) noexcept {
  const char* const begin = script.data();
  const char* const end = begin + script.size();
  while (at_ < script.size()) {
    const char* p = begin + at_;
    if (mode_ == Mode::CopyData) {
      const std::size_t found = script.find(copy_end, at_);
      if (found == std::string_view::npos) {
        // A terminator cut short by the end of what has arrived is looked at again.
        if (script.size() >= copy_end.size())
          at_ = std::max(at_, script.size() - copy_end.size() + 1);
        return std::nullopt;
      }
      return end_after(script, found + copy_end.size());
    }
    if (mode_ == Mode::Quoted) {
      const char* q = quote_ == '\'' && has_escapes_ ? core::scan::find_any<'\'', '\\'>(p, end)
                      : quote_ == '\''               ? core::scan::find_any<'\''>(p, end)
                      : quote_ == '"'                ? core::scan::find_any<'"'>(p, end)
                                                     : core::scan::find_any<'`'>(p, end);
      at_ = static_cast<std::size_t>(q - begin);
      if (q == end) return std::nullopt;
      if (*q == '\\') {
        // The escaped byte may not have arrived yet; the backslash is then looked at again.
        if (q + 1 == end) return std::nullopt;
        at_ += 2;
        continue;
      }
      // A doubled quote closes the text and opens it again at once.
      mode_ = Mode::Code;
      ++at_;
      continue;
    }
    const char* q = core::scan::find_any<'\'', '"', '`', ';'>(p, end);
    at_ = static_cast<std::size_t>(q - begin);
    if (q == end) return std::nullopt;
    if (*q != ';') {
      mode_ = Mode::Quoted;
      quote_ = *q;
      ++at_;
      continue;
    }
    // Whether the semicolon ends its line is known only once the next byte has arrived.
    if (q + 1 == end) return std::nullopt;
    if (q[1] != '\n') {
      ++at_;
      continue;
    }
    if (script.substr(start_).starts_with("COPY ")) {
      mode_ = Mode::CopyData;
      ++at_;  // the line break, where the terminator's search starts
      continue;
    }
    return end_after(script, at_ + 2);
  }
  return std::nullopt;
}

// Ends the statement at `at`, with the line breaks that follow it, and starts the next there.
std::size_t StatementSplitter::end_after(std::string_view script, std::size_t at) noexcept {
  while (at < script.size() && script[at] == '\n') ++at;
  mode_ = Mode::Code;
  start_ = at;
  at_ = at;
  return at;
}

}  // namespace morvel::sql
