#include "convert/options.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "cli/messages.hpp"
#include "convert/option_table.hpp"

namespace morvel::convert {
namespace {

using readers::Delimiter;
using sql::Dialect;
using sql::OnConflict;

// The first problem check_options finds, as the command words it; "" when there is none.
std::string refusal(ConversionOptions options) {
  auto checked = check_options(std::move(options));
  return checked ? "" : cli::command_message(checked.error());
}

// The same for check_combinations, with the options the command line was given.
std::string usage_refusal(const ConversionOptions& options, std::vector<std::string_view> given) {
  auto combined = check_combinations(options, given);
  return combined ? "" : cli::command_message(combined.error());
}

TEST(CheckOptions, RefusesTheFirstProblemInOrder) {
  const std::string both = "'--primary-key <COLUMNS>' cannot be used with '--auto-id'";
  const std::string needs_table = "'--primary-key <COLUMNS>' requires '--create-table'";
  const std::string tsv = "'--tsv' cannot be used with '--delimiter <C>'";
  const std::string copy_batch = "'--copy' cannot be used with '--batch-size <N>'";
  // The key is resolved first: an empty list comes before the missing table creation.
  EXPECT_EQ(refusal({.primary_key = ""}), "primary key column list is empty");
  EXPECT_EQ(refusal({.primary_key = "a", .auto_id = true}), both);
  EXPECT_EQ(refusal({.create_table = true, .primary_key = "", .auto_id = true}), both);
  EXPECT_EQ(refusal({.primary_key = "a"}), needs_table);
  EXPECT_EQ(refusal({.auto_id = true}), "'--auto-id' requires '--create-table'");
  // Options that cannot go together come before a missing requirement.
  EXPECT_EQ(refusal({.primary_key = "a", .batch_size = 2, .copy = true}), copy_batch);
  EXPECT_EQ(refusal({.delimiter = Delimiter{';'}, .tsv = true}), tsv);
  EXPECT_EQ(refusal({.copy = true, .on_conflict = OnConflict::Ignore}),
            "'--copy' cannot be used with '--on-conflict <ACTION>'");
  EXPECT_EQ(refusal({.format = Format::Json, .tsv = true}),
            "the delimiter, comment, skip-lines, no-header and short-rows options are for CSV "
            "input, not JSON");
  EXPECT_EQ(refusal({.tsv = true, .comment = '\t'}), "the comment character is the delimiter");
  EXPECT_EQ(refusal({.comment = ','}), "");
  EXPECT_EQ(refusal({.jobs = 257}), "jobs are 1 to 256 threads, not 257");
  EXPECT_EQ(refusal({.table_name = std::string("a\0b", 3)}),
            "table name 'a\\0b' contains a NUL character, which no SQL identifier can hold");
  // A value that is the default is no conflict, unless the command line was given it.
  EXPECT_EQ(refusal({.delimiter = Delimiter{}, .tsv = true, .batch_size = 1, .copy = true}), "");
  const std::string quote_is_delimiter = "the quote character is the delimiter";
  EXPECT_EQ(refusal({.delimiter = Delimiter{';'}, .quote = ';'}), quote_is_delimiter);
  EXPECT_EQ(refusal({.tsv = true, .quote = '\t'}), quote_is_delimiter);
  EXPECT_EQ(refusal({.delimiter = *Delimiter::parse("whitespace"), .quote = '\t'}),
            quote_is_delimiter);
  EXPECT_EQ(refusal({.delimiter = *Delimiter::parse("whitespace"), .quote = '\''}), "");
  EXPECT_EQ(refusal({.delimiter = Delimiter{'"'}, .quote = '\''}), "");
  EXPECT_EQ(refusal({.comment = '#', .quote = '#'}),
            "the quote character is the comment character");
  EXPECT_EQ(refusal({.format = Format::Json, .quote = '\''}),
            "the quote option is for CSV input, not JSON");
  EXPECT_EQ(refusal({.json_path = "data"}), "the JSON path option is for JSON input, not CSV");
  EXPECT_EQ(refusal({.format = Format::Json, .json_path = "data"}), "");
  EXPECT_EQ(usage_refusal({.tsv = true}, {"tsv", "delimiter"}), tsv);
  EXPECT_EQ(usage_refusal({.copy = true}, {"copy", "batch_size"}), copy_batch);
  EXPECT_EQ(usage_refusal({.copy = true}, {"on_conflict", "copy"}),
            "'--copy' cannot be used with '--on-conflict <ACTION>'");
}

TEST(OptionValues, RefuseWhatCannotBeRead) {
  const auto refused = [](const auto& parsed) { return parsed ? "" : parsed.error().message; };
  EXPECT_EQ(refused(parse_quote("'")), "");
  EXPECT_EQ(refused(parse_quote("\n")),
            "invalid quote character '\n': give one byte other than CR or LF");
  EXPECT_EQ(refused(parse_quote("''")),
            "invalid quote character '''': give one byte other than CR or LF");
  EXPECT_EQ(refused(parse_json_path("data.items")), "");
  for (const std::string_view path : {"", ".a", "a.", "a..b"}) {
    EXPECT_EQ(refused(parse_json_path(path)),
              "invalid JSON path '" + std::string(path) +
                  "': give keys joined by dots, such as data.items");
  }
}

// A file named as tab-separated is read so, unless the user chose how.
TEST(InputName, TabSeparatedByName) {
  const auto tsv_after = [](ConversionOptions options, std::string_view path) {
    apply_input_name(options, path);
    return options.tsv;
  };
  EXPECT_TRUE(tsv_after({}, "dir.csv/zone.tab"));
  EXPECT_TRUE(tsv_after({}, "ENTERPRISES.TSV"));
  EXPECT_FALSE(tsv_after({}, "zone.tab.csv"));
  EXPECT_FALSE(tsv_after({}, ".tsv"));
  EXPECT_FALSE(tsv_after({.delimiter = Delimiter{','}}, "a.tsv"));
  EXPECT_FALSE(tsv_after({.format = Format::Json}, "a.tsv"));
}

TEST(CheckOptions, NamesTheOptionsOfARule) {
  auto refused = check_options({.batch_size = 5, .copy = true});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, core::ErrorKind::Invalid);
  EXPECT_EQ(refused.error().about,
            (core::OptionWords{core::OptionRule::Conflict, {{{"copy"}, {"batch_size"}}}}));
  EXPECT_EQ(refused.error().message, "COPY takes no batch size: it loads every row");
}

// What each face shows of an option, its default and its choices, is what the record holds
// after the option's own check has read it: a name list out of step with its enumeration, or a
// default the check refuses, fails here.
TEST(OptionTable, ShownValuesReadBackFromTheRecord) {
  for (const OptionSpec& option : option_table()) {
    std::vector<std::string> shown(option.choices.begin(), option.choices.end());
    if (auto value = default_text(option)) shown.push_back(*value);
    for (const std::string& value : shown) {
      ConversionOptions record;
      const OptionValue given =
          option.kind == ValueKind::Count ? OptionValue(std::stoull(value)) : OptionValue(value);
      ASSERT_TRUE(option.set(record, given).has_value()) << option.key << " " << value;
      EXPECT_EQ(option.default_of(record), value) << option.key;
    }
  }
}

TEST(OptionTable, NamesEachOptionOnce) {
  std::set<std::string_view> keys;
  std::set<std::string_view> long_names;
  std::set<char> short_names;
  for (const OptionSpec& option : option_table()) {
    EXPECT_TRUE(keys.insert(option.key).second) << option.key;
    EXPECT_TRUE(long_names.insert(option.long_name).second) << option.long_name;
    if (option.short_name != '\0') {
      EXPECT_TRUE(short_names.insert(option.short_name).second) << option.short_name;
    }
    EXPECT_EQ(find_option(option.key), &option);
  }
}

TEST(CommandWords, SpellsAdviceAsAShellTakesIt) {
  const auto spelled = [](core::OptionRef option) { return cli::command_spelling(option); };
  EXPECT_EQ(spelled({"tsv"}), "--tsv");
  EXPECT_EQ(spelled({"schema_from", "all"}), "--schema-from all");
  EXPECT_EQ(spelled({"primary_key", "id"}), "--primary-key id");
  EXPECT_EQ(spelled({"delimiter", ";"}), "--delimiter ';'");
  EXPECT_EQ(spelled({"delimiter", "|"}), "--delimiter '|'");
  EXPECT_EQ(spelled({"null_values", "it's"}), "--null 'it'\\''s'");
  EXPECT_EQ(spelled({"table_name", "a b"}), "--table 'a b'");
  EXPECT_EQ(cli::command_sentence(core::advice("use ", {"tsv"}, " here")), "use --tsv here");
  EXPECT_EQ(cli::command_message(core::invalid_instead("no", {"primary_key", "id"})),
            "no (use --primary-key id instead)");
}

}  // namespace
}  // namespace morvel::convert
