#include "test_support.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "convert/pipeline.hpp"

namespace morvel::testing {

namespace {

std::string from_hex(std::string_view hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

}  // namespace

std::vector<ReaderCase> load_reader_cases(std::string_view file_name) {
  const std::string path = std::string(MORVEL_VECTORS_DIR) + "/" + std::string(file_name);
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::vector<ReaderCase> cases;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    const auto json = nlohmann::json::parse(line);
    ReaderCase c;
    c.id = json.at("id").get<std::string>();
    c.input = from_hex(json.at("input_hex").get<std::string>());
    for (const auto& row : json.at("rows")) {
      Pairs pairs;
      for (const auto& pair : row)
        pairs.emplace_back(pair.at(0).get<std::string>(), pair.at(1).get<std::string>());
      c.rows.push_back(std::move(pairs));
    }
    if (!json.at("error").is_null()) c.error = json.at("error").get<std::string>();
    cases.push_back(std::move(c));
  }
  return cases;
}

ReaderOutcome collect_rows(Reader reader, ByteSource& source, const readers::ReadOptions& options) {
  ReaderOutcome outcome;
  WarningsKept monitor;
  auto collect = [&](Row row) -> Status {
    outcome.rows.push_back(pairs_of(row));
    std::vector<DataType> types;
    for (const Row::Entry entry : row) types.push_back(entry.type);
    outcome.types.push_back(std::move(types));
    return {};
  };
  if (auto status = reader(source, collect, options, &monitor); !status) {
    outcome.error = status.error();
  }
  outcome.warnings = std::move(monitor.warnings);
  return outcome;
}

void expect_reader_case(Reader reader, const ReaderCase& c,
                        std::initializer_list<std::size_t> chunks) {
  const auto check = [&](ByteSource& source) {
    const ReaderOutcome outcome = collect_rows(reader, source);
    EXPECT_EQ(outcome.rows, c.rows);
    if (c.error) {
      ASSERT_TRUE(outcome.error.has_value());
      EXPECT_EQ(outcome.error->message, *c.error);
      EXPECT_EQ(outcome.error->kind, ErrorKind::Invalid);
    } else {
      EXPECT_FALSE(outcome.error.has_value()) << outcome.error->message;
    }
  };
  {
    SCOPED_TRACE("read from memory");
    MemorySource memory(c.input);
    check(memory);
  }
  for (const std::size_t chunk : chunks) {
    SCOPED_TRACE("read " + std::to_string(chunk) + " bytes at a time");
    ScriptedSource stream(c.input, chunk);
    check(stream);
  }
}

Pairs pairs_of(const Row& row) {
  Pairs pairs;
  for (const Row::Entry entry : row) pairs.emplace_back(entry.name, entry.text);
  return pairs;
}

Row row_of(const Pairs& pairs) {
  Row row;
  for (const auto& [name, text] : pairs) row.append(name, text, DataType::infer(text));
  return row;
}

Result<std::size_t> ScriptedSource::read(std::span<char> buffer) {
  ++reads_;
  const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - offset_});
  if (n == 0 && failure_) return std::unexpected(Error{ErrorKind::Io, *failure_});
  bytes_.copy(buffer.data(), n, offset_);
  offset_ += n;
  return n;
}

std::string test_name_of(std::string_view id) {
  std::string name;
  for (char c : id) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += keep ? c : '_';
  }
  return name;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "morvel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = std::move(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;  // a destructor must not throw; a leftover directory harms nothing
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace morvel::testing

namespace morvel::testing {

void PrintTo(const Converted& converted, std::ostream* out) {
  *out << converted.sql << "error: " << converted.error << "\nhint: " << converted.hint << "\n";
  for (const std::string& warning : converted.warnings) *out << "warning: " << warning << "\n";
}

Converted convert_source(ByteSource& source, convert::ConversionOptions options,
                         const readers::ReadLimits& limits) {
  auto checked = convert::check_options(std::move(options));
  if (!checked) return {"", cli::command_message(checked.error()), {}};
  WarningsKept monitor;
  StringSink sink;
  const Status status = convert::convert(source, sink, *checked, &monitor, limits);
  if (status) return {std::string(sink.bytes()), "", std::move(monitor.warnings)};
  const std::optional<Notice>& hint = status.error().hint;
  return {std::string(sink.bytes()), cli::command_message(status.error()),
          std::move(monitor.warnings), hint ? cli::command_sentence(*hint) : ""};
}

Converted convert_text(std::string_view input, convert::ConversionOptions options) {
  MemorySource source(input);
  return convert_source(source, std::move(options));
}

}  // namespace morvel::testing
