// Finding, after the fact, where the record of a row lies: by reading the input again up to it.

#include "readers/locate.hpp"

#include <memory>
#include <utility>

#include "readers/read_input.hpp"

namespace morvel::readers {

namespace {

using core::ByteSource;
using core::Result;
using core::Row;
using core::RowSink;
using core::Status;

// Takes the rows of a reading up to a given one, refuses that one, and keeps where its record
// lies.
class LocateWork final : public PieceWork {
 public:
  explicit LocateWork(std::uint64_t row) noexcept : row_(row) {}
  RowSink direct() override { return *this; }
  bool can_share() const override { return false; }
  void make_slots(std::size_t) override {}
  std::unique_ptr<PieceWorker> worker() override { return nullptr; }
  Status commit(std::size_t, const PieceEnd&) override { return {}; }
  void stopped(const Place& place, PieceReader& reader) override {
    if (is_found_ && !place_) place_ = reader.where(place);
  }
  Status operator()(Row&&) {
    if (rows_ < row_) {
      ++rows_;
      return {};
    }
    is_found_ = true;
    return std::unexpected(core::invalid("the row is found"));
  }
  [[nodiscard]] const std::optional<RecordPlace>& place() const noexcept { return place_; }

 private:
  std::uint64_t row_;
  std::uint64_t rows_ = 0;
  bool is_found_ = false;
  std::optional<RecordPlace> place_;
};

}  // namespace

Result<std::optional<RecordPlace>> locate_row(ByteSource& source, Format format,
                                              const ReadOptions& options, std::uint64_t row) {
  LocateWork work(row);
  Status read = read_input(source, format, options, nullptr, work, ReadPlan{1, {}});
  if (work.place()) return work.place();
  if (!read) return std::unexpected(std::move(read.error()));
  return std::nullopt;
}

}  // namespace morvel::readers
