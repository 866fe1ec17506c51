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

#include "core/text.hpp"
#include "load/url.hpp"

namespace morvel::cli {
namespace {

using convert::Format;
using sql::Dialect;

constexpr std::string_view default_program_name = "morvel";
constexpr std::string_view about_text = "Turn raw data into ready-to-run SQL.";
constexpr std::string_view version_text = "morvel " MORVEL_VERSION;

// Indexed by Format's enumerators, Dialect's kinds and SchemaFrom's, in the order the help lists
// them.
constexpr std::array<std::string_view, 2> format_names = {"csv", "json"};
constexpr std::array<std::string_view, 3> dialect_names = {"postgres", "sqlite", "mysql"};
constexpr std::array<std::string_view, 2> schema_names = {"first", "all"};
constexpr std::array<std::string_view, 3> conflict_names = {"error", "ignore", "replace"};

// The message of a usage error, or nothing.
using Problem = std::optional<std::string>;

// A path may not be empty; a text is any value, or one of the declaration's choices; a count is
// a whole number from 0. An argument is a path given without an option.
enum class ValueKind : std::uint8_t { Path, Text, Count, Switch, Argument };

// Writes a checked value into its field: the text as given, the index of the choice it names,
// or the number it holds. Returns a problem the option's own parser found.
using Apply = Problem (*)(Cli& cli, const std::string& value, std::size_t number);

struct Declaration {
  char short_name;              // '\0' when the option has no short form
  std::string_view long_name;   // empty for an argument
  std::string_view value_name;  // empty for a switch
  ValueKind kind;
  std::span<const std::string_view> choices;  // empty when any value is accepted
  std::string_view description;               // one line for the help
  Apply apply;
  bool is_repeatable = false;  // each occurrence adds a value
};

// The problem of a failed result of one of the shared option parsers, or nothing after storing
// its value with `store`.
template <class T, class Store>
Problem stored(core::Result<T> parsed, Store store) {
  if (!parsed) return std::move(parsed.error().message);
  store(std::move(*parsed));
  return std::nullopt;
}

// Position in this table is the option's identity everywhere below, and the help's order.
enum OptionId : std::size_t {
  input_id,
  output_id,
  to_id,
  table_id,
  format_id,
  dialect_id,
  create_table_id,
  primary_key_id,
  auto_id_id,
  schema_from_id,
  null_id,
  delimiter_id,
  tsv_id,
  comment_id,
  skip_lines_id,
  no_header_id,
  allow_short_rows_id,
  encoding_id,
  batch_size_id,
  transaction_id,
  copy_id,
  on_conflict_id,
  jobs_id,
  quiet_id,
  input_argument_id,
  option_count,
};

// One option a line, each with what it stores, reads better than the formatter's columns.
// clang-format off
constexpr std::array<Declaration, option_count> declarations = {{
    {'i', "input", "INPUT", ValueKind::Path, {}, "File to read (default: standard input)",
     [](Cli& c, const std::string& v, std::size_t) -> Problem { c.input = v; return {}; }},
    {'o', "output", "OUTPUT", ValueKind::Path, {}, "File to write (default: standard output)",
     [](Cli& c, const std::string& v, std::size_t) -> Problem { c.output = v; return {}; }},
    {'\0', "to", "URL", ValueKind::Text, {},
     "Load into the database at this URL instead of writing SQL",
     [](Cli& c, const std::string& v, std::size_t) -> Problem { c.to = v; return {}; }},
    {'t', "table", "TABLE", ValueKind::Text, {}, "Table the statements fill",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       c.options.table_name = v; return {}; }},
    {'f', "format", "FORMAT", ValueKind::Text, format_names,
     "Input format; json for a .json, .jsonl or .ndjson input file",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.format = static_cast<Format>(n); return {}; }},
    {'d', "dialect", "DIALECT", ValueKind::Text, dialect_names,
     "SQL dialect; postgresql, pg, sqlite3 and mariadb work too",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.dialect = static_cast<Dialect::Kind>(n); return {}; }},
    {'\0', "create-table", "", ValueKind::Switch, {},
     "Begin with CREATE TABLE IF NOT EXISTS, typed from the first record",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.create_table = true; return {}; }},
    {'k', "primary-key", "COLUMNS", ValueKind::Text, {},
     "Comma-separated key columns of the new table",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       c.options.primary_key = v; return {}; }},
    {'\0', "auto-id", "", ValueKind::Switch, {},
     "Give the new table an auto-increment id column as its key",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.auto_id = true; return {}; }},
    {'\0', "schema-from", "RECORDS", ValueKind::Text, schema_names,
     "Type each column from the first record or from all of them",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.schema_from = static_cast<convert::SchemaFrom>(n); return {}; }},
    {'\0', "null", "WORD", ValueKind::Text, {},
     "Read this word as NULL, e.g. NA (may be given more than once)",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       c.options.null_values.push_back(v); return {}; }, true},
    {'\0', "delimiter", "C", ValueKind::Text, {},
     "Byte between CSV fields: a byte, tab, or auto (from the header line)",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       return stored(readers::Delimiter::parse(v),
                     [&](readers::Delimiter d) { c.options.delimiter = d; }); }},
    {'\0', "tsv", "", ValueKind::Switch, {}, "Read tab-separated values: --delimiter tab",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.delimiter = readers::Delimiter{'\t', false}; return {}; }},
    {'\0', "comment", "C", ValueKind::Text, {},
     "Skip CSV lines starting with this byte, before and after the header",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       return stored(convert::parse_comment(v), [&](char b) { c.options.comment = b; }); }},
    {'\0', "skip-lines", "N", ValueKind::Count, {},
     "Skip this many lines (a title, a preamble) before the CSV header",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.skip_lines = n; return {}; }},
    {'\0', "no-header", "", ValueKind::Switch, {},
     "Read the first CSV record as data, in columns column_1, column_2, ...",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.no_header = true; return {}; }},
    {'\0', "allow-short-rows", "", ValueKind::Switch, {},
     "Fill the missing trailing fields of short CSV records with NULL",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.allow_short_rows = true; return {}; }},
    {'\0', "encoding", "NAME", ValueKind::Text, {},
     "Decode the input from this encoding (iconv names: latin1, utf-16, ...)",
     [](Cli& c, const std::string& v, std::size_t) -> Problem {
       return stored(core::Encoding::find(v), [&](std::optional<core::Encoding> e) {
         c.options.encoding = std::move(e); }); }},
    {'\0', "batch-size", "N", ValueKind::Count, {},
     "Put up to N records in each INSERT, a row per line (1 to 100000)",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.batch_size = n; return {}; }},
    {'\0', "transaction", "", ValueKind::Switch, {},
     "Make the script all or nothing: BEGIN (START TRANSACTION) ... COMMIT",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.transaction = true; return {}; }},
    {'\0', "copy", "", ValueKind::Switch, {},
     "Write the rows as PostgreSQL COPY blocks, which psql loads fastest",
     [](Cli& c, const std::string&, std::size_t) -> Problem {
       c.options.copy = true; return {}; }},
    {'\0', "on-conflict", "ACTION", ValueKind::Text, conflict_names,
     "What a record whose key is taken does: fail, be skipped or replace",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.on_conflict = static_cast<sql::OnConflict>(n); return {}; }},
    {'\0', "jobs", "N", ValueKind::Count, {},
     "Threads that convert; one per processor unless given (1 to 256)",
     [](Cli& c, const std::string&, std::size_t n) -> Problem {
       c.options.jobs = static_cast<unsigned>(std::min<std::size_t>(n, convert::max_jobs + 1));
       return {}; }},
    {'\0', "quiet", "", ValueKind::Switch, {}, "Do not show the progress line on a terminal",
     [](Cli& c, const std::string&, std::size_t) -> Problem { c.quiet = true; return {}; }},
    {'\0', "", "INPUT", ValueKind::Argument, {}, "File to read, as with --input",
     [](Cli& c, const std::string& v, std::size_t) -> Problem { c.input = v; return {}; }},
}};
// clang-format on
static_assert(std::ranges::all_of(declarations,
                                  [](const Declaration& d) { return d.apply != nullptr; }),
              "one declaration per OptionId");
// clang-format on

// The library's own flags, which take no value and may share a cluster such as "-Vt".
constexpr std::string_view library_short_flags = "hV";

const Declaration* find_long(std::string_view name) {
  for (const Declaration& declaration : declarations) {
    if (!declaration.long_name.empty() && declaration.long_name == name) return &declaration;
  }
  return nullptr;
}

const Declaration* find_short(char name) {
  for (const Declaration& declaration : declarations) {
    if (declaration.short_name != '\0' && declaration.short_name == name) return &declaration;
  }
  return nullptr;
}

// How messages name an option: "--table <TABLE>", "--auto-id" for a switch, "INPUT" for the
// argument.
std::string display_name(const Declaration& declaration) {
  if (declaration.kind == ValueKind::Argument) return std::string(declaration.value_name);
  std::string name = "--";
  name += declaration.long_name;
  if (!declaration.value_name.empty()) {
    name += " <";
    name += declaration.value_name;
    name += '>';
  }
  return name;
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

// The value a Cli holds for an option, as the command line would spell it; empty for the
// options that have no default worth showing.
std::string default_text(const convert::ConversionOptions& defaults, OptionId id) {
  switch (id) {
    case table_id:
      return defaults.table_name;
    case format_id:
      return std::string(format_names[static_cast<std::size_t>(defaults.format)]);
    case dialect_id:
      return std::string(defaults.dialect.name());
    case schema_from_id:
      return std::string(schema_names[static_cast<std::size_t>(defaults.schema_from)]);
    case delimiter_id:
      return ",";
    case encoding_id:
      return "utf-8";
    case batch_size_id:
      return "1";
    case on_conflict_id:
      return "error";
    default:
      return {};
  }
}

// Lays out each option as its flags, the value name in angle brackets, the default and the
// possible values, then its description.
class HelpFormatter final : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    // A switch shows no value, nor the argument, which its name already says.
    if (option->get_items_expected_max() == 0 || option->get_positional()) return {};
    std::string out = " <" + option->get_type_name() + ">";
    if (!option->get_default_str().empty()) out += " [default: " + option->get_default_str() + "]";
    const Declaration* declaration =
        option->get_lnames().empty() ? nullptr : find_long(option->get_lnames().front());
    if (declaration != nullptr && !declaration->choices.empty()) {
      out += " [possible values: " + join(declaration->choices) + "]";
    }
    return out;
  }
};

// Turns the arguments after the program path into CLI11's reversed list. CLI11 2.1 reads an
// empty "--table=" as "--table" followed by the next argument, and accepts "--auto-id=true"; so
// an empty inline value becomes a separate empty argument here, a switch with any inline value
// is refused, and so is a value-taking option that ends the list. The walk follows CLI11's
// reading of the list (a value-taking option swallows the next argument whatever it looks
// like, and "--" ends option parsing) so that no value is mistaken for an option.
std::expected<std::vector<std::string>, std::string> prepare(
    std::span<const std::string> arguments) {
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
      const Declaration* declaration = find_long(std::string_view(argument).substr(2, equals - 2));
      if (declaration == nullptr) continue;
      if (declaration->kind == ValueKind::Switch) {
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
        const Declaration* declaration = find_short(argument[at]);
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

std::optional<std::size_t> index_of(std::span<const std::string_view> names,
                                    std::string_view value) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == value) return i;
  }
  return std::nullopt;
}

// The index of `value` among the declaration's choices. The dialect also takes the aliases
// people type for its names, in any letter case; the names themselves only as written.
std::optional<std::size_t> choice_of(OptionId id, std::string_view value) {
  if (auto choice = index_of(declarations[id].choices, value)) return choice;
  if (id != dialect_id) return std::nullopt;
  if (const auto alias = Dialect::from_alias(value))
    return static_cast<std::size_t>(Dialect::Kind{*alias});
  return std::nullopt;
}

// A count: a whole number from 0, in decimal digits.
std::optional<std::size_t> count_of(std::string_view value) {
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) return {};
  return number;
}

// Checks one given value and writes it into its field.
Problem store(Cli& cli, OptionId id, const std::string& value) {
  const Declaration& declaration = declarations[id];
  std::size_t number = 0;
  if (!declaration.choices.empty()) {
    const auto choice = choice_of(id, value);
    if (!choice) {
      return "invalid value " + in_quotes(value) + " for " + in_quotes(display_name(declaration)) +
             " (possible values: " + join(declaration.choices) + ")";
    }
    number = *choice;
  }
  if (declaration.kind == ValueKind::Count) {
    const auto count = count_of(value);
    if (!count) {
      return "invalid value " + in_quotes(value) + " for " + in_quotes(display_name(declaration)) +
             " (a whole number from 0)";
    }
    number = *count;
  }
  if ((declaration.kind == ValueKind::Path || declaration.kind == ValueKind::Argument) &&
      value.empty()) {
    return "the file path given to " + in_quotes(display_name(declaration)) + " is empty";
  }
  return declaration.apply(cli, value, number);
}

// Whether `path` ends in .json, .jsonl or .ndjson, in any letter case.
bool has_json_extension(std::string_view path) {
  for (std::string_view extension : {".json", ".jsonl", ".ndjson"}) {
    if (path.size() > extension.size() &&
        core::equals_ascii_folded(path.substr(path.size() - extension.size()), extension)) {
      return true;
    }
  }
  return false;
}

// The name usage lines show: the file-name part of the program path, as the user called it.
std::string program_name_of(const std::vector<std::string>& args) {
  if (args.empty()) return std::string(default_program_name);
  const std::string name = std::filesystem::path(args.front()).filename();
  return name.empty() ? std::string(default_program_name) : name;
}

// Declares every option on `app`, in the help's order, collecting each occurrence rather than
// reducing them, so that a repeat, an empty path or an unknown name is reported where the user
// wrote it, in the walk after parsing.
std::array<CLI::Option*, option_count> declare_options(CLI::App& app) {
  const convert::ConversionOptions defaults;
  std::array<CLI::Option*, option_count> options{};
  for (std::size_t id = 0; id < option_count; ++id) {
    const Declaration& declaration = declarations[id];
    std::string flags;
    if (declaration.kind == ValueKind::Argument) {
      flags = declaration.value_name;
    } else {
      if (declaration.short_name != '\0') flags = {'-', declaration.short_name, ','};
      flags += "--";
      flags += declaration.long_name;
    }
    const std::string description(declaration.description);
    CLI::Option* option =
        declaration.kind == ValueKind::Switch
            ? app.add_flag(flags, description)
            : app.add_option(flags, description)->type_name(std::string(declaration.value_name));
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    const std::string shown_default = default_text(defaults, static_cast<OptionId>(id));
    if (!shown_default.empty()) option->default_str(shown_default);
    options[id] = option;
  }
  // CLI11 declares its help flag on construction; declaring it again moves it after the
  // program's own options, where the help lists it.
  app.set_help_flag("-h,--help", "Print this help message and exit");
  app.set_version_flag("-V,--version", std::string(version_text));
  return options;
}

// The usage error for two options that cannot go together.
std::string conflict(OptionId one, OptionId other) {
  if (declarations[other].kind == ValueKind::Argument) {
    return in_quotes(display_name(declarations[one])) + " cannot be used with an " +
           display_name(declarations[other]) + " argument";
  }
  return in_quotes(display_name(declarations[one])) + " cannot be used with " +
         in_quotes(display_name(declarations[other]));
}

// Takes the dialect from the URL of --to, which a --dialect given (`has_dialect`) must agree
// with. The URL is never quoted: it may hold a password.
Problem take_target(Cli& cli, bool has_dialect) {
  auto target = load::parse_url(*cli.to);
  if (!target) {
    return in_quotes(display_name(declarations[to_id])) + ": " + target.error().message;
  }
  if (has_dialect && cli.options.dialect != target->dialect) {
    return in_quotes(display_name(declarations[dialect_id])) + " " +
           std::string(cli.options.dialect.name()) + " contradicts the " +
           std::string(target->dialect.name()) + " database of " +
           in_quotes(display_name(declarations[to_id]));
  }
  cli.options.dialect = target->dialect;
  return std::nullopt;
}

// The command that the parsed occurrences describe: each value checked and stored in the order
// given, then the rules between options.
std::expected<Cli, std::string> collect(const CLI::App& app,
                                        const std::array<CLI::Option*, option_count>& options) {
  Cli cli;
  std::array<std::size_t, option_count> seen{};
  for (const CLI::Option* option : app.parse_order()) {
    std::size_t id = 0;
    while (id < option_count && options[id] != option) ++id;
    if (id == option_count) continue;
    if (seen[id]++ > 0 && !declarations[id].is_repeatable) {
      return std::unexpected(in_quotes(display_name(declarations[id])) +
                             " cannot be given more than once");
    }
    if (Problem problem = store(cli, static_cast<OptionId>(id), option->results()[seen[id] - 1])) {
      return std::unexpected(std::move(*problem));
    }
  }
  // A conflict is reported before a missing requirement: it is the mistake the user can act on
  // first, since adding --create-table would not make the command valid.
  for (const auto& [one, other] :
       {std::pair{input_id, input_argument_id}, std::pair{tsv_id, delimiter_id},
        std::pair{to_id, output_id}, std::pair{to_id, copy_id}, std::pair{to_id, batch_size_id},
        std::pair{copy_id, batch_size_id}, std::pair{copy_id, on_conflict_id},
        std::pair{primary_key_id, auto_id_id}}) {
    if (seen[one] > 0 && seen[other] > 0) return std::unexpected(conflict(one, other));
  }
  for (OptionId id : {primary_key_id, auto_id_id}) {
    if (seen[id] > 0 && seen[create_table_id] == 0) {
      return std::unexpected(in_quotes(display_name(declarations[id])) + " requires " +
                             in_quotes(display_name(declarations[create_table_id])));
    }
  }
  if (cli.to) {
    if (Problem problem = take_target(cli, seen[dialect_id] > 0)) {
      return std::unexpected(std::move(*problem));
    }
  }
  // A file named as JSON is never meant to be read as CSV.
  if (seen[format_id] == 0 && cli.input && has_json_extension(cli.input->native())) {
    cli.options.format = Format::Json;
  }
  if (auto combined = convert::check_combinations(cli.options); !combined) {
    return std::unexpected(std::move(combined.error().message));
  }
  return cli;
}

}  // namespace

// Usage errors come from three places, in this order: `prepare` (what CLI11 2.1 would read
// differently from the command's rules), CLI11 itself (unknown options, stray arguments), and
// the walk over the parsed occurrences (repeats and values, then the rules between options).
std::expected<Cli, EarlyExit> parse_args(const std::vector<std::string>& args) {
  const std::string program_name = program_name_of(args);
  CLI::App app{std::string(about_text), program_name};
  auto formatter = std::make_shared<HelpFormatter>();
  app.formatter(formatter);
  const std::array<CLI::Option*, option_count> options = declare_options(app);

  // A report quotes what was typed, and a URL typed may hold a password.
  const auto usage_error = [&](const std::string& message) {
    return std::unexpected(EarlyExit{"error: " + load::without_url_passwords(message) + "\n" +
                                         formatter->make_usage(&app, program_name) +
                                         "Run with --help for more information.\n",
                                     Stream::Stderr, 2});
  };

  const std::span<const std::string> arguments =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);
  auto prepared = prepare(arguments);
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
  auto cli = collect(app, options);
  if (!cli) return usage_error(cli.error());
  return std::move(*cli);
}

}  // namespace morvel::cli
