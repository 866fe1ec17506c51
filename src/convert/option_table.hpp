#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "convert/options.hpp"
#include "core/error.hpp"

namespace morvel::convert {

// How an option takes its value, in both faces.
enum class ValueKind : std::uint8_t {
  Switch,  // on or off: a flag given alone on the command line, True or False in Python
  Text,    // a text, or one of the option's choices
  Count,   // a whole number from 0
  Words,   // texts: one per occurrence on the command line, a sequence of str in Python
  Pairs,   // names with a text each: KEY=VALUE per occurrence on the command line, a mapping of
           // str to str in Python
};

// The faces that offer an option. An option of one face alone that the record does not hold
// (the command's output file, its --quiet) lives in that face instead.
enum class Faces : std::uint8_t { Both, Command };

// A name and its text, as a Pairs option takes them.
using TextPair = std::pair<std::string, std::string>;

// A value as a face hands it to an option: a bool for a Switch, the text for a Text, the number
// for a Count, the words for Words, the pairs for Pairs.
using OptionValue = std::variant<bool, std::string_view, std::uint64_t,
                                 std::span<const std::string>, std::span<const TextPair>>;

// One option of a conversion as both faces offer it: its names, its help, its default and its
// check. The command's parser and help, and Python's binder and signatures, are made from these.
struct OptionSpec {
  std::string_view key = {};  // the Python parameter, and the name messages below the faces use
  std::string_view long_name = {};   // the command's, without the dashes
  char short_name = '\0';            // the command's one-letter form; '\0' for none
  std::string_view value_name = {};  // the command help's name for the value; empty for a switch
  ValueKind kind = ValueKind::Switch;
  std::span<const std::string_view> choices = {};  // the names the help lists; empty: any text
  std::string_view help = {};                      // one line, without the range
  // The value of a record without options as the command line writes it; null for an option
  // that has no value unless given (Python's None), and for switches and words.
  std::string (*default_of)(const ConversionOptions& defaults) = nullptr;
  bool help_shows_default = true;
  std::uint64_t most = 0;  // a count's largest value, shown with the help; 0 for none
  // Checks the value and writes it into the record; fails with a message that names the value.
  core::Status (*set)(ConversionOptions& options, const OptionValue& value) = nullptr;
  Faces faces = Faces::Both;
  // The one format the option reads, if any: Python offers it only to that format's functions.
  std::optional<Format> only_for = std::nullopt;
};

// Every option of a conversion, in the order of the command's help and of Python's parameters.
// Never fails.
[[nodiscard]] std::span<const OptionSpec> option_table() noexcept;

// The option whose key is `key`, or null. Never fails.
[[nodiscard]] const OptionSpec* find_option(std::string_view key) noexcept;

// The option's help line as both faces show it: the line, then the range of a count
// ("... (1 to 256)"). Never fails.
[[nodiscard]] std::string help_line(const OptionSpec& option);

// The option's default as the command line writes it, from a record without options; nothing
// for an option without one. Never fails.
[[nodiscard]] std::optional<std::string> default_text(const OptionSpec& option);

}  // namespace morvel::convert
