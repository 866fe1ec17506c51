#include "readers/options.hpp"

namespace morvel::readers {

core::Result<Delimiter> Delimiter::parse(std::string_view text) {
  if (text == "auto") return Delimiter{',', true};
  if (text == "whitespace") return Delimiter{' ', false, true};
  if (text == "tab" || text == "\\t") return Delimiter{'\t', false};
  // A quote would open fields, and a line break end records, wherever it stood.
  if (text.size() == 1 && text[0] != '"' && text[0] != '\r' && text[0] != '\n') {
    return Delimiter{text[0], false};
  }
  return std::unexpected(
      core::invalid("invalid delimiter '" + std::string(text) +
                    "': give one byte other than a double quote, CR or LF, or tab, or auto"));
}

bool NullWords::is_null(std::string_view text) const noexcept {
  const std::string_view trimmed = core::trim_white_space(text);
  for (const std::string& word : words_) {
    if (trimmed == word) return true;
  }
  return false;
}

}  // namespace morvel::readers
