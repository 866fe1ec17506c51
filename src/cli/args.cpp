#include "cli/args.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "cli/messages.hpp"
#include "convert/inputs.hpp"
#include "convert/option_table.hpp"
#include "core/text.hpp"
#include "load/url.hpp"

namespace morvel::cli {
namespace {

using convert::Format;
using convert::OptionSpec;

constexpr std::string_view default_program_name = "morvel";
constexpr std::string_view about_text = "Turn raw data into ready-to-run SQL.";
constexpr std::string_view version_text = "morvel " MORVEL_VERSION;

// The message of a usage error, or nothing.
using Problem = std::optional<std::string>;

// How the command reads a value: a path may not be empty; a text is any value, or one of the
// declaration's choices; a count is a whole number from 0. An argument is a path given without
// an option.
enum class Takes : std::uint8_t { Path, Text, Count, Switch, Argument };

// One option of the command: a conversion option of the shared table, or one of the command's
// own, which the conversion's record does not hold.
struct Declaration {
  char short_name = '\0';
  std::string_view long_name = {};  // empty for the argument
  std::string_view value_name = {};
  Takes takes = Takes::Switch;
  std::span<const std::string_view> choices = {};  // empty when any value is accepted
  std::string description = {};                    // one line for the help
  std::string shown_default = {};                  // empty: none shown
  bool is_repeatable = false;                      // each occurrence adds a value
  const OptionSpec* option = nullptr;              // the conversion option it sets, if any
  void (*own)(Cli& cli, const std::string& value) = nullptr;  // else what it sets of the command's
};

using Declarations = std::vector<Declaration>;

// A conversion option as the command declares it.
Declaration declaration_of(const OptionSpec& option) {
  constexpr std::array<Takes, 5> takes = {Takes::Switch, Takes::Text, Takes::Count, Takes::Text,
                                          Takes::Text};
  return {.short_name = option.short_name,
          .long_name = option.long_name,
          .value_name = option.value_name,
          .takes = takes[static_cast<std::size_t>(option.kind)],
          .choices = option.choices,
          .description = convert::help_line(option),
          .shown_default = option.help_shows_default ? default_text(option).value_or("") : "",
          .is_repeatable =
              option.kind == convert::ValueKind::Words || option.kind == convert::ValueKind::Pairs,
          .option = &option};
}

// Every option in the help's order: where to read and write, the conversion's options, then the
// command's own switch and the input argument.
Declarations declarations() {
  Declarations out;
  out.push_back({'i', "input", "INPUT", Takes::Path, {}, "File to read (default: standard input)"});
  out.back().own = [](Cli& c, const std::string& v) { c.input = v; };
  out.push_back(
      {'o', "output", "OUTPUT", Takes::Path, {}, "File to write (default: standard output)"});
  out.back().own = [](Cli& c, const std::string& v) { c.output = v; };
  out.push_back({.long_name = "to",
                 .value_name = "URL",
                 .takes = Takes::Text,
                 .description = "Load into the database at this URL instead of writing SQL"});
  out.back().own = [](Cli& c, const std::string& v) { c.to = v; };
  for (const OptionSpec& option : convert::option_table()) out.push_back(declaration_of(option));
  out.push_back(
      {'\0', "quiet", "", Takes::Switch, {}, "Do not show the progress line on a terminal"});
  out.back().own = [](Cli& c, const std::string&) { c.quiet = true; };
  out.push_back({'\0',
                 "",
                 "INPUT",
                 Takes::Argument,
                 {},
                 "File to read, as with --input; several files and folders go into one table"});
  out.back().is_repeatable = true;
  out.back().own = [](Cli& c, const std::string& v) {
    if (c.input) {
      c.more_inputs.emplace_back(v);
    } else {
      c.input = v;
    }
  };
  return out;
}

// The library's own flags, which take no value and may share a cluster such as "-Vt".
constexpr std::string_view library_short_flags = "hV";

const Declaration* find_long(const Declarations& declarations, std::string_view name) {
  for (const Declaration& declaration : declarations) {
    if (!declaration.long_name.empty() && declaration.long_name == name) return &declaration;
  }
  return nullptr;
}

const Declaration* find_short(const Declarations& declarations, char name) {
  for (const Declaration& declaration : declarations) {
    if (declaration.short_name != '\0' && declaration.short_name == name) return &declaration;
  }
  return nullptr;
}

// How messages name an option: "--table <TABLE>", "--auto-id" for a switch, "INPUT" for the
// argument.
std::string display_name(const Declaration& declaration) {
  if (declaration.takes == Takes::Argument) return std::string(declaration.value_name);
  return usage_name(declaration.long_name, declaration.value_name);
}

std::string in_quotes(std::string_view text) {
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

std::string join(std::span<const std::string_view> names) {
  std::string out;
  for (std::string_view name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// Lays out each option as its flags, the value name in angle brackets, the default and the
// possible values, then its description.
class HelpFormatter final : public CLI::Formatter {
 public:
  explicit HelpFormatter(const Declarations& declarations) : declarations_(declarations) {}

  std::string make_option_opts(const CLI::Option* option) const override {
    // A switch shows no value, nor the argument, which its name already says.
    if (option->get_items_expected_max() == 0 || option->get_positional()) return {};
    std::string out = " <" + option->get_type_name() + ">";
    if (!option->get_default_str().empty()) out += " [default: " + option->get_default_str() + "]";
    const Declaration* declaration = option->get_lnames().empty()
                                         ? nullptr
                                         : find_long(declarations_, option->get_lnames().front());
    if (declaration != nullptr && !declaration->choices.empty()) {
      out += " [possible values: " + join(declaration->choices) + "]";
    }
    return out;
  }

 private:
  const Declarations& declarations_;  // outlives the formatter: both live in parse_args
};

// Turns the arguments after the program path into CLI11's reversed list. CLI11 2.1 reads an
// empty "--table=" as "--table" followed by the next argument, and accepts "--auto-id=true"; so
// an empty inline value becomes a separate empty argument here, a switch with any inline value
// is refused, and so is a value-taking option that ends the list. The walk follows CLI11's
// reading of the list (a value-taking option swallows the next argument whatever it looks
// like, and "--" ends option parsing) so that no value is mistaken for an option.
std::expected<std::vector<std::string>, std::string> prepare(
    const Declarations& declarations, std::span<const std::string> arguments) {
  std::vector<std::string> out;
  out.reserve(arguments.size() + 1);
  const auto missing_value = [](const Declaration& declaration) {
    return "a value is required for " + in_quotes(display_name(declaration)) +
           " but none was given";
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    out.push_back(argument);
    if (argument == "--") {
      out.insert(out.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                 arguments.end());
      break;
    }
    if (argument.size() > 2 && argument.starts_with("--") && argument[2] != '-') {
      const std::size_t equals = argument.find('=');
      const Declaration* declaration =
          find_long(declarations, std::string_view(argument).substr(2, equals - 2));
      if (declaration == nullptr) continue;
      if (declaration->takes == Takes::Switch) {
        if (equals == std::string::npos) continue;
        return std::unexpected("the switch " + in_quotes(display_name(*declaration)) +
                               " takes no value but was given " +
                               in_quotes(std::string_view(argument).substr(equals + 1)));
      }
      if (equals == std::string::npos) {
        if (i + 1 == arguments.size()) return std::unexpected(missing_value(*declaration));
        out.push_back(arguments[++i]);
      } else if (equals + 1 == argument.size()) {
        out.back().pop_back();
        out.emplace_back();
      }
      continue;
    }
    if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-') {
      // A cluster of short flags ends at the first letter that takes a value; the rest of the
      // argument, or else the next argument, is that value.
      for (std::size_t at = 1; at < argument.size(); ++at) {
        if (library_short_flags.find(argument[at]) != std::string_view::npos) continue;
        const Declaration* declaration = find_short(declarations, argument[at]);
        if (declaration != nullptr && at + 1 == argument.size()) {
          if (i + 1 == arguments.size()) return std::unexpected(missing_value(*declaration));
          out.push_back(arguments[++i]);
        }
        break;
      }
    }
  }
  return std::vector<std::string>(out.rbegin(), out.rend());
}

// Whether `value` is one of the declaration's choices. The dialect also takes the aliases people
// type for its names, in any letter case; the names themselves only as written.
bool is_choice(const Declaration& declaration, std::string_view value) {
  if (std::ranges::find(declaration.choices, value) != declaration.choices.end()) return true;
  return declaration.option != nullptr && declaration.option->key == "dialect" &&
         sql::Dialect::from_alias(value).has_value();
}

// A count: a whole number from 0, in decimal digits.
std::optional<std::uint64_t> count_of(std::string_view value) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) return {};
  return number;
}

// Checks one given value and writes it into its field, or into the conversion's options through
// the option's own check.
Problem store(Cli& cli, const Declaration& declaration, const std::string& value) {
  if (!declaration.choices.empty() && !is_choice(declaration, value)) {
    return "invalid value " + in_quotes(value) + " for " + in_quotes(display_name(declaration)) +
           " (possible values: " + join(declaration.choices) + ")";
  }
  std::uint64_t count = 0;
  if (declaration.takes == Takes::Count) {
    const auto number = count_of(value);
    if (!number) {
      return "invalid value " + in_quotes(value) + " for " + in_quotes(display_name(declaration)) +
             " (a whole number from 0)";
    }
    count = *number;
  }
  if ((declaration.takes == Takes::Path || declaration.takes == Takes::Argument) && value.empty()) {
    return "the file path given to " + in_quotes(display_name(declaration)) + " is empty";
  }
  if (declaration.option == nullptr) {
    declaration.own(cli, value);
    return std::nullopt;
  }
  convert::OptionValue given;
  convert::TextPair pair;
  switch (declaration.option->kind) {
    case convert::ValueKind::Switch:
      given = true;
      break;
    case convert::ValueKind::Text:
      given = std::string_view(value);
      break;
    case convert::ValueKind::Count:
      given = count;
      break;
    case convert::ValueKind::Words:
      given = std::span<const std::string>(&value, 1);
      break;
    case convert::ValueKind::Pairs: {
      // At the last '=': a name may hold one, the value (a type's name) does not.
      const std::size_t equals = value.rfind('=');
      if (equals == std::string::npos) {
        return "invalid value " + in_quotes(value) + " for " +
               in_quotes(display_name(declaration)) + " (give " +
               std::string(declaration.option->value_name) + ")";
      }
      pair = {value.substr(0, equals), value.substr(equals + 1)};
      given = std::span<const convert::TextPair>(&pair, 1);
      break;
    }
  }
  if (auto set = declaration.option->set(cli.options, given); !set) {
    return command_message(set.error());
  }
  return std::nullopt;
}

// The name usage lines show: the file-name part of the program path, as the user called it.
std::string program_name_of(const std::vector<std::string>& args) {
  if (args.empty()) return std::string(default_program_name);
  const std::string name = std::filesystem::path(args.front()).filename();
  return name.empty() ? std::string(default_program_name) : name;
}

// Declares every option on `app`, in the help's order, collecting each occurrence rather than
// reducing them, so that a repeat, an empty path or an unknown name is reported where the user
// wrote it, in the walk after parsing. The library's options come in the same order.
std::vector<CLI::Option*> declare_options(CLI::App& app, const Declarations& declarations) {
  std::vector<CLI::Option*> options;
  options.reserve(declarations.size());
  for (const Declaration& declaration : declarations) {
    std::string flags;
    if (declaration.takes == Takes::Argument) {
      flags = declaration.value_name;
    } else {
      if (declaration.short_name != '\0') flags = {'-', declaration.short_name, ','};
      flags += "--";
      flags += declaration.long_name;
    }
    CLI::Option* option = declaration.takes == Takes::Switch
                              ? app.add_flag(flags, declaration.description)
                              : app.add_option(flags, declaration.description)
                                    ->type_name(std::string(declaration.value_name));
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    if (declaration.is_repeatable && declaration.takes == Takes::Argument) {
      option->expected(1, CLI::detail::expected_max_vector_size)->allow_extra_args();
    }
    if (!declaration.shown_default.empty()) option->default_str(declaration.shown_default);
    options.push_back(option);
  }
  // CLI11 declares its help flag on construction; declaring it again moves it after the
  // program's own options, where the help lists it.
  app.set_help_flag("-h,--help", "Print this help message and exit");
  app.set_version_flag("-V,--version", std::string(version_text));
  return options;
}

// The rules of --to, when given: no output file and nothing that shapes a script's text, since
// the rows go straight into the database, and the dialect of the URL's database, which a
// --dialect given must agree with. The URL is never quoted: it may hold a password.
Problem check_target(Cli& cli, const Declarations& declarations,
                     const std::vector<std::size_t>& seen) {
  const auto named = [&](std::string_view long_name) {
    return in_quotes(display_name(*find_long(declarations, long_name)));
  };
  const auto is_given = [&](std::string_view long_name) {
    return seen[static_cast<std::size_t>(find_long(declarations, long_name) -
                                         declarations.data())] > 0;
  };
  for (std::string_view other : {"output", "copy", "batch-size"}) {
    if (is_given(other)) return named("to") + " cannot be used with " + named(other);
  }
  auto target = load::parse_url(*cli.to);
  if (!target) return named("to") + ": " + target.error().message;
  if (is_given("dialect") && cli.options.dialect != target->dialect) {
    return named("dialect") + " " + std::string(cli.options.dialect.name()) + " contradicts the " +
           std::string(target->dialect.name()) + " database of " + named("to");
  }
  cli.options.dialect = target->dialect;
  return std::nullopt;
}

// The command that the parsed occurrences describe: each value checked and stored in the order
// given, then the rules between options: the command's own, then the conversion's, which count
// every option the command was given as used, whatever its value.
std::expected<Cli, std::string> collect(const CLI::App& app, const Declarations& declarations,
                                        const std::vector<CLI::Option*>& options) {
  Cli cli;
  std::vector<std::size_t> seen(declarations.size());
  for (const CLI::Option* option : app.parse_order()) {
    const auto at = static_cast<std::size_t>(std::ranges::find(options, option) - options.begin());
    if (at == options.size()) continue;
    const Declaration& declaration = declarations[at];
    if (seen[at]++ > 0 && !declaration.is_repeatable) {
      return std::unexpected(in_quotes(display_name(declaration)) +
                             " cannot be given more than once");
    }
    if (Problem problem = store(cli, declaration, option->results()[seen[at] - 1])) {
      return std::unexpected(std::move(*problem));
    }
  }
  std::vector<std::string_view> given;
  bool has_input_option = false;
  bool has_input_argument = false;
  for (std::size_t at = 0; at < declarations.size(); ++at) {
    if (seen[at] == 0) continue;
    const Declaration& declaration = declarations[at];
    if (declaration.option != nullptr) given.push_back(declaration.option->key);
    has_input_option |= declaration.long_name == "input";
    has_input_argument |= declaration.takes == Takes::Argument;
  }
  if (has_input_option && has_input_argument) {
    return std::unexpected("'--input <INPUT>' cannot be used with an INPUT argument");
  }
  if (cli.to) {
    if (Problem problem = check_target(cli, declarations, seen)) {
      return std::unexpected(std::move(*problem));
    }
  }
  cli.format_is_chosen = std::ranges::find(given, "format") != given.end();
  // A file named as JSON is never meant to be read as CSV, nor is an input with a JSON path. The
  // names of several inputs are looked at when they are known, a folder's files included.
  if (!cli.format_is_chosen &&
      ((cli.input && cli.more_inputs.empty() && convert::has_json_name(cli.input->native())) ||
       cli.options.json_path)) {
    cli.options.format = Format::Json;
  }
  if (cli.input && cli.more_inputs.empty()) {
    convert::apply_input_name(cli.options, cli.input->native());
  }
  if (auto combined = convert::check_combinations(cli.options, given); !combined) {
    return std::unexpected(command_message(combined.error()));
  }
  return cli;
}

}  // namespace

// Usage errors come from three places, in this order: `prepare` (what CLI11 2.1 would read
// differently from the command's rules), CLI11 itself (unknown options, stray arguments), and
// the walk over the parsed occurrences (repeats and values, then the rules between options).
std::expected<Cli, EarlyExit> parse_args(const std::vector<std::string>& args) {
  const std::string program_name = program_name_of(args);
  const Declarations declared = declarations();
  CLI::App app{std::string(about_text), program_name};
  auto formatter = std::make_shared<HelpFormatter>(declared);
  app.formatter(formatter);
  const std::vector<CLI::Option*> options = declare_options(app, declared);

  // A report quotes what was typed, and a URL typed may hold a password.
  const auto usage_error = [&](const std::string& message) {
    return std::unexpected(EarlyExit{"error: " + load::without_url_passwords(message) + "\n" +
                                         formatter->make_usage(&app, program_name) +
                                         "Run with --help for more information.\n",
                                     Stream::Stderr, 2});
  };

  const std::span<const std::string> arguments =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);
  auto prepared = prepare(declared, arguments);
  if (!prepared) return usage_error(prepared.error());
  try {
    app.parse(std::move(*prepared));
  } catch (const CLI::CallForHelp&) {
    return std::unexpected(EarlyExit{app.help(), Stream::Stdout, 0});
  } catch (const CLI::CallForVersion& version) {
    return std::unexpected(EarlyExit{std::string(version.what()) + "\n", Stream::Stdout, 0});
  } catch (const CLI::ExtrasError&) {
    // CLI11 lists the "--" that ends option parsing among the extras; the user's mistake is
    // the argument after it.
    const std::vector<std::string> extras = app.remaining();
    auto extra = std::find_if(extras.begin(), extras.end(),
                              [](const std::string& argument) { return argument != "--"; });
    return usage_error("unexpected argument " +
                       in_quotes(extra != extras.end() ? *extra : std::string("--")));
  } catch (const CLI::Error& error) {
    return usage_error(error.what());
  }
  auto cli = collect(app, declared, options);
  if (!cli) return usage_error(cli.error());
  return std::move(*cli);
}

}  // namespace morvel::cli
