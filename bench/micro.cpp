// Micro-benchmarks of the hot paths: DataType::infer, format_sql_value, the CSV scan, the JSON
// parse and a whole conversion into memory. Inputs are built in process from a fixed seed with
// the same column mix as bench/generate.py, so the numbers need no data files.
//
//     build-bench/morvel_micro [--benchmark_filter=Csv]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/pipeline.hpp"
#include "core/data_type.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "readers/read_input.hpp"
#include "sql/dialect.hpp"
#include "sql/literal.hpp"

namespace {

using morvel::convert::Format;
using morvel::core::DataType;
using morvel::core::Row;
using morvel::core::Status;
using morvel::sql::Dialect;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 17;
  }
  int between(int low, int high) { return low + static_cast<int>(next() % (high - low + 1)); }

 private:
  std::uint64_t state_;
};

constexpr std::string_view words[] = {"alpha", "bravo",   "charlie",   "order",   "invoice",
                                      "it's",  "don't",   "O'Brien's", "the",     "shipped",
                                      "care",  "fragile", "express",   "pending", "warehouse"};
constexpr std::string_view names[] = {"Anna O'Brien", "Bob Smith", "Chlo\xC3\xA9 Kim",
                                      "Hugo D'Angelo", "Nora Lee"};
constexpr std::string_view cities[] = {"Paris", "New York, NY", "S\xC3\xA3o Paulo", "Oslo", ""};

// One record's texts; the JSON writer quotes every column but the numbers and booleans.
std::vector<std::string> record(Random& random, int id) {
  char buffer[64];
  std::vector<std::string> v;
  v.push_back(std::to_string(id));
  std::snprintf(buffer, sizeof buffer, "%d.%02d", random.between(-1000, 99999),
                random.between(0, 99));
  v.emplace_back(buffer);
  v.emplace_back(random.next() % 2 ? "true" : "false");
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", random.between(1970, 2024),
                random.between(1, 12), random.between(1, 28));
  v.emplace_back(buffer);
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", random.between(2015, 2024),
                random.between(1, 12), random.between(1, 28), random.between(0, 23),
                random.between(0, 59), random.between(0, 59));
  v.emplace_back(buffer);
  std::snprintf(buffer, sizeof buffer, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(random.next() & 0xFFFFFFFF),
                static_cast<unsigned long long>(random.next() & 0xFFFF),
                static_cast<unsigned long long>(random.next() & 0xFFFF),
                static_cast<unsigned long long>(random.next() & 0xFFFF),
                static_cast<unsigned long long>(random.next() & 0xFFFFFFFFFFFF));
  v.emplace_back(buffer);
  v.emplace_back(names[random.next() % std::size(names)]);
  v.emplace_back(cities[random.next() % std::size(cities)]);
  std::string note;
  const int count = random.between(10, 22);
  for (int i = 0; i < count; ++i) {
    if (i > 0) note += random.next() % 8 == 0 ? ", " : " ";
    note += words[random.next() % std::size(words)];
  }
  if (random.next() % 4 == 0) note += " see \"terms\"";
  v.push_back(std::move(note));
  const int r = random.between(0, 19);
  v.emplace_back(r == 0 ? "" : r == 1 ? "null" : std::to_string(random.between(0, 100)));
  return v;
}

constexpr std::string_view header[] = {"id",   "amount", "active", "signup_date", "last_seen",
                                       "uuid", "name",   "city",   "note",        "score"};

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string make_csv(int rows) {
  Random random(7);
  std::string out;
  for (std::size_t i = 0; i < std::size(header); ++i) {
    out += i ? "," : "";
    out += header[i];
  }
  out += '\n';
  for (int id = 1; id <= rows; ++id) {
    const auto v = record(random, id);
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i) out += ',';
      out += csv_field(v[i]);
    }
    out += '\n';
  }
  return out;
}

std::string make_json_lines(int rows) {
  Random random(7);
  std::string out;
  for (int id = 1; id <= rows; ++id) {
    const auto v = record(random, id);
    out += '{';
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i) out += ", ";
      out += json_string(std::string(header[i])) + ": ";
      const bool bare = i <= 2 || (i == 9 && !v[i].empty() && v[i] != "null");
      out += bare ? v[i] : v[i] == "null" ? "null" : json_string(v[i]);
    }
    out += "}\n";
  }
  return out;
}

std::string make_json_array(int rows) {
  std::string lines = make_json_lines(rows);
  std::string out = "[\n";
  std::size_t start = 0;
  while (start < lines.size()) {
    const std::size_t lf = lines.find('\n', start);
    if (start) out += ",\n";
    out.append(lines, start, lf - start);
    start = lf + 1;
  }
  return out + "\n]\n";
}

constexpr int bench_rows = 20000;

const std::string& csv_input() {
  static const std::string input = make_csv(bench_rows);
  return input;
}
const std::string& json_lines_input() {
  static const std::string input = make_json_lines(bench_rows);
  return input;
}
const std::string& json_array_input() {
  static const std::string input = make_json_array(bench_rows);
  return input;
}

// Every field text of the CSV input, in order, to feed infer and the formatter.
const std::vector<std::string>& field_texts() {
  static const std::vector<std::string> texts = [] {
    Random random(7);
    std::vector<std::string> all;
    for (int id = 1; id <= bench_rows; ++id) {
      for (auto& text : record(random, id)) all.push_back(std::move(text));
    }
    return all;
  }();
  return texts;
}

void set_bytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_Infer(benchmark::State& state) {
  const auto& texts = field_texts();
  std::size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  for (auto _ : state) {
    for (const auto& t : texts) benchmark::DoNotOptimize(DataType::infer(t));
  }
  set_bytes(state, bytes);
  state.counters["ns_per_value"] = benchmark::Counter(
      static_cast<double>(texts.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Infer);

void BM_FormatSqlValue(benchmark::State& state) {
  const auto& texts = field_texts();
  std::vector<DataType> types;
  std::size_t bytes = 0;
  for (const auto& t : texts) {
    types.push_back(DataType::infer(t));
    bytes += t.size();
  }
  const Dialect dialect = static_cast<Dialect::Kind>(state.range(0));
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (std::size_t i = 0; i < texts.size(); ++i) {
      morvel::sql::append_sql_value(out, texts[i], types[i], dialect);
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, bytes);
}
BENCHMARK(BM_FormatSqlValue)->Arg(Dialect::Postgres)->Arg(Dialect::Mysql);

void BM_FormatSqlValueString(benchmark::State& state) {
  const auto& texts = field_texts();
  std::vector<DataType> types;
  for (const auto& t : texts) types.push_back(DataType::infer(t));
  for (auto _ : state) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      benchmark::DoNotOptimize(
          morvel::sql::format_sql_value(texts[i], types[i], Dialect::Postgres));
    }
  }
}
BENCHMARK(BM_FormatSqlValueString);

template <class Reader>
void run_reader(benchmark::State& state, const std::string& input, Reader reader) {
  std::size_t fields = 0;
  auto sink = [&](Row&& row) -> Status {
    fields += row.size();
    return {};
  };
  for (auto _ : state) {
    morvel::core::MemorySource source(input);
    if (!reader(source, sink, {}, nullptr)) {
      state.SkipWithError("reader failed");
      break;
    }
  }
  benchmark::DoNotOptimize(fields);
  set_bytes(state, input.size());
}

void BM_CsvScan(benchmark::State& state) {
  run_reader(state, csv_input(), morvel::readers::stream_csv);
}
BENCHMARK(BM_CsvScan);

void BM_JsonParseLines(benchmark::State& state) {
  run_reader(state, json_lines_input(), morvel::readers::stream_json);
}
BENCHMARK(BM_JsonParseLines);

void BM_JsonParseArray(benchmark::State& state) {
  run_reader(state, json_array_input(), morvel::readers::stream_json);
}
BENCHMARK(BM_JsonParseArray);

// A sink that keeps only the byte count: the conversion without the cost of storing output.
// It lends its buffer, as the command's and the Python functions' sinks do, so that statements
// are written straight into it; appended() counts them and empties it, so it stays small.
class CountingSink final : public morvel::core::ByteSink {
 public:
  Status write(std::string_view bytes) override {
    count_ += bytes.size();
    return {};
  }
  Status flush() override { return appended(); }
  morvel::core::ByteBuffer* buffer() noexcept override { return &buffer_; }
  Status appended() override {
    count_ += buffer_.size();
    buffer_.clear();
    return {};
  }
  std::size_t count() const { return count_; }

 private:
  morvel::core::ByteBuffer buffer_;
  std::size_t count_ = 0;
};

void run_convert(benchmark::State& state, const std::string& input, Format format) {
  for (auto _ : state) {
    morvel::core::MemorySource source(input);
    CountingSink sink;
    auto options = morvel::convert::check_options({.format = format});
    if (!options || !morvel::convert::convert(source, sink, *options)) {
      state.SkipWithError("conversion failed");
      break;
    }
    benchmark::DoNotOptimize(sink.count());
  }
  set_bytes(state, input.size());
}

void BM_ConvertCsv(benchmark::State& state) { run_convert(state, csv_input(), Format::Csv); }
BENCHMARK(BM_ConvertCsv);

void BM_ConvertJsonLines(benchmark::State& state) {
  run_convert(state, json_lines_input(), Format::Json);
}
BENCHMARK(BM_ConvertJsonLines);

void BM_ConvertJsonArray(benchmark::State& state) {
  run_convert(state, json_array_input(), Format::Json);
}
BENCHMARK(BM_ConvertJsonArray);

void BM_ConvertCsvToBuffer(benchmark::State& state) {
  const std::string& input = csv_input();
  const auto options = morvel::convert::check_options({});
  for (auto _ : state) {
    morvel::core::MemorySource source(input);
    auto sql = morvel::convert::convert_to_buffer(source, *options);
    if (!sql) {
      state.SkipWithError("conversion failed");
      break;
    }
    benchmark::DoNotOptimize(sql->data());
  }
  set_bytes(state, input.size());
}
BENCHMARK(BM_ConvertCsvToBuffer);

}  // namespace

BENCHMARK_MAIN();
