#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sql/dialect.hpp"

namespace morvel::sql {

// Finds where the statements of a script that morvel wrote end, as the script arrives in parts:
// a statement ends at a semicolon outside quotes that ends its line, a COPY block at its "\."
// line, and the line breaks after either belong to it. It knows the quoting morvel writes, not
// SQL at large: a quote inside quotes is doubled, and MySQL's string literals also escape with a
// backslash.
class StatementSplitter {
 public:
  explicit StatementSplitter(Dialect dialect) noexcept : has_escapes_(dialect == Dialect::Mysql) {}

  // The end of the next statement of `script`, as an offset from its start, or nothing when it
  // holds no further whole statement yet. `script` is the text of the calls before, less what
  // drop() took off its front, with perhaps more after it; each byte is looked at once, where the
  // last call stopped. Never fails.
  [[nodiscard]] std::optional<std::size_t> next_end(std::string_view script) noexcept;

  // Takes note that the first `count` bytes of the script, whole statements that next_end()
  // found, are gone from its front. Never fails.
  void drop(std::size_t count) noexcept {
    start_ -= count;
    at_ -= count;
  }

 private:
  enum class Mode : std::uint8_t { Code, Quoted, CopyData };

  [[nodiscard]] std::size_t end_after(std::string_view script, std::size_t at) noexcept;

  bool has_escapes_;
  Mode mode_ = Mode::Code;
  char quote_ = '\0';      // the quote that ends the text being looked through
  std::size_t start_ = 0;  // where the statement being looked through starts
  std::size_t at_ = 0;     // the next byte to look at
};

}  // namespace morvel::sql
