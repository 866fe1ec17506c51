#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace morvel::core {

// How a failure is reported at the two edges: the Python module picks its exception class by it,
// the command line prints every kind the same way, but for a stop asked for and a closed pipe.
enum class ErrorKind : std::uint8_t {
  Invalid,      // bad input data or options (ValueError)
  Io,           // a read or write failed after the stream was open (ValueError)
  Open,         // a file could not be opened (OSError)
  Interrupted,  // the caller's monitor stopped the conversion (see Monitor)
};

// An option as the layers below the two faces name it, for each face to spell its own way (the
// command line "--schema-from all", Python schema_from="all"): its key in the option table,
// which is its Python parameter name, and the value meant as a user would type it (empty for
// none, and for a switch turned on). Both are static text, so that an error stays cheap to
// carry through the per-record Status.
struct OptionRef {
  std::string_view key;
  std::string_view value = {};

  friend bool operator==(const OptionRef&, const OptionRef&) = default;
};

// What a message says about options, for each face to put in its own words.
enum class OptionRule : std::uint8_t {
  None,      // nothing: the text is the whole message
  Advice,    // the text advises the first option, whose spelling goes in at byte `at`
  Instead,   // the text, then the first option to use instead
  Conflict,  // the first option cannot be used with the second
  Requires,  // the first option needs the second
};

// The options a message concerns, and how.
struct OptionWords {
  OptionRule rule = OptionRule::None;
  std::array<OptionRef, 2> options = {};
  std::size_t at = 0;

  friend bool operator==(const OptionWords&, const OptionWords&) = default;
};

// Something a conversion tells its user without stopping: a sentence in lower case without a
// final full stop, which may advise an option (OptionRule::Advice) for each face to spell.
struct Notice {
  Notice(std::string sentence) : text(std::move(sentence)) {}  // NOLINT: a plain sentence
  Notice(std::string sentence, OptionWords words) : text(std::move(sentence)), about(words) {}

  std::string text;
  OptionWords about;
  std::string value = {};  // the advised option's value when it is not static text (a count)
  // The input file the notice is about, when one run reads several; empty otherwise.
  std::string input = {};

  // The option the sentence advises, with its value. Borrows this notice. Never fails.
  [[nodiscard]] OptionRef advised() const noexcept {
    OptionRef option = about.options[0];
    if (!value.empty()) option.value = value;
    return option;
  }
};

// One failure: the user-facing message, written once where the offending value is known.
struct Error {
  ErrorKind kind = ErrorKind::Invalid;
  std::string message;  // for a Conflict or a Requires, what a caller without a face shows
  int code = 0;         // the errno value of a system failure, else 0
  OptionWords about = {};
  // Advice for the likely cause, which each face shows after the message, which stays as it is
  // (the command as a line of its own, Python as the exception's note).
  std::optional<Notice> hint = std::nullopt;
  // The input file the failure lies in, when one run reads several; empty otherwise.
  std::string input = {};

  // Whether writing failed because the reader of a pipe has gone. Never fails.
  [[nodiscard]] bool is_broken_pipe() const noexcept;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

// An Invalid error with the given message. Never fails.
[[nodiscard]] Error invalid(std::string message);

// An Invalid error for a choice that `alternative` would make work, which each face adds after
// the message as "(use <alternative> instead)". Never fails.
[[nodiscard]] Error invalid_instead(std::string message, OptionRef alternative);

// An Invalid error for options `first` and `second` (keys), which cannot go together (Conflict)
// or of which the first needs the second (Requires). Never fails.
[[nodiscard]] Error option_error(OptionRule rule, std::string message, std::string_view first,
                                 std::string_view second);

// A notice that advises `option` between `before` and `after`. Never fails.
[[nodiscard]] Notice advice(std::string before, OptionRef option, std::string_view after);

// `text` with `spelling`, a face's spelling of the first option, put where `about` places it:
// inside for Advice, as "(use <spelling> instead)" after it for Instead; unchanged otherwise.
// Never fails.
[[nodiscard]] std::string spelled_in(std::string_view text, const OptionWords& about,
                                     std::string_view spelling);

// The system error for errno value `code`: "<description> (os error N)". Never fails.
[[nodiscard]] Error os_error(ErrorKind kind, int code);

// The system's description of errno value `code`, as os_error quotes it. Never fails.
[[nodiscard]] std::string os_description(int code);

}  // namespace morvel::core
