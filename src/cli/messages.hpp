#pragma once

#include <string>
#include <string_view>

#include "convert/option_table.hpp"
#include "core/error.hpp"

namespace morvel::cli {

// How the command names an option in a usage error: "--table <TABLE>", "--auto-id" (without a
// value name). Never fails.
[[nodiscard]] std::string usage_name(std::string_view long_name, std::string_view value_name);

// How the command writes `option` in advice: "--schema-from all", "--tsv", "--delimiter ';'",
// the value quoted as a shell needs it. Never fails.
[[nodiscard]] std::string command_spelling(const core::OptionRef& option);

// The message of `error` in the command's words: two options that cannot go together or one
// that needs another as the usage errors word them ("'--tsv' cannot be used with '--delimiter
// <C>'"), advice spelled as command_spelling does. Never fails.
[[nodiscard]] std::string command_message(const core::Error& error);

// The sentence of `notice` in the command's words. Never fails.
[[nodiscard]] std::string command_sentence(const core::Notice& notice);

}  // namespace morvel::cli
