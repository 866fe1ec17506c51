#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "readers/pieces.hpp"
#include "readers/signals_blocked.hpp"

// The first reading of an input by its check, in parts on threads when it can.

namespace morvel::readers {

using core::ByteBuffer;
using core::ByteSource;
using core::Result;
using core::Status;

namespace {

// The bytes kept after the line end that ends a refused record by the quote count.
constexpr std::uint64_t refused_record_margin = 1024 * 1024;

// Feeds `part` the bytes of the input from `from` to `to`, which `read_at(offset, block)` reads.
// `on_block`, given the bytes done so far, may stop the part with its error.
template <class ReadAt, class OnBlock>
Status feed_part(CheckPart& part, std::uint64_t from, std::uint64_t to, ReadAt& read_at,
                 OnBlock on_block) {
  while (from < to) {
    auto block = read_at(from, std::min<std::uint64_t>(to - from, read_bytes));
    if (!block) return std::unexpected(std::move(block.error()));
    part.feed(*block);
    from += block->size();
    if (auto go_on = on_block(from); !go_on) return go_on;
  }
  return {};
}

// The first reading in parts on the threads of `plan`, when the reader can split it and the
// input is large enough (parts of fewer than four pieces are not worth a thread); false when it
// is left to one thread. `read_at(offset, size)` gives the bytes of
// each block, on any thread: each thread has its own copy of it. The part on this thread tells the
// monitor of the progress, as if every part went at its pace.
template <class ReadAt>
Result<bool> check_in_parts(InputCheck& check, std::uint64_t size, const ReadPlan& plan,
                            core::Monitor* monitor, const ReadAt& read_at) {
  const std::uint64_t least_part_bytes = 4 * std::uint64_t{plan.limits.piece_bytes};
  if (plan.threads < 2 || size < 2 * least_part_bytes) return false;
  const auto parts_count =
      static_cast<unsigned>(std::min<std::uint64_t>(plan.threads, size / least_part_bytes));
  std::vector<std::unique_ptr<CheckPart>> parts;
  for (unsigned i = 0; i < parts_count; ++i) {
    parts.push_back(check.part(size * i / parts_count));
    if (!parts.back()) return false;
  }
  std::vector<Status> outcomes(parts_count);
  std::atomic<bool> is_stopped = false;
  {
    std::vector<std::jthread> crew;
    {
      const SignalsBlocked blocked;
      for (unsigned i = 1; i < parts_count; ++i) {
        crew.emplace_back([&, i, read = read_at] mutable {
          outcomes[i] =
              feed_part(*parts[i], size * i / parts_count, size * (i + 1) / parts_count, read,
                        [&](std::uint64_t) {
                          return is_stopped ? Status{std::unexpected(core::invalid(""))} : Status{};
                        });
        });
      }
    }
    core::Checkpoints checking(monitor, core::Stage::Checking);
    ReadAt read = read_at;
    outcomes[0] = feed_part(*parts[0], 0, size / parts_count, read, [&](std::uint64_t done) {
      return checking.reached(done * parts_count);
    });
    if (!outcomes[0]) is_stopped = true;
  }
  for (unsigned i = 0; i < parts_count; ++i) {
    if (!outcomes[i]) return std::unexpected(std::move(outcomes[i].error()));
    parts[i]->join();
  }
  if (auto checked = check.outcome(); !checked) return std::unexpected(checked.error());
  return true;
}

}  // namespace

Status check_text(InputCheck& check, std::string_view text, core::Monitor* monitor,
                  const ReadPlan& plan) {
  auto slice = [text](std::uint64_t offset, std::uint64_t size) -> Result<std::string_view> {
    return text.substr(offset, size);
  };
  auto in_parts = check_in_parts(check, text.size(), plan, monitor, slice);
  if (!in_parts) return std::unexpected(std::move(in_parts.error()));
  if (*in_parts) return {};
  core::Checkpoints checking(monitor, core::Stage::Checking);
  for (std::size_t at = 0; at < text.size(); at += read_bytes) {
    check.feed(text.substr(at, read_bytes));
    if (auto go_on = checking.reached(at); !go_on) return go_on;
  }
  return check.outcome();
}

Result<std::uint64_t> check_source(InputCheck& check, ByteSource& source, core::Monitor* monitor,
                                   const ReadPlan& plan) {
  if (source.reads_at()) {
    const std::uint64_t size = source.size_hint();
    // Each thread reads into a block of its own, made when it first reads.
    auto read_block = [&source, block = std::vector<char>()](
                          std::uint64_t offset,
                          std::uint64_t count) mutable -> Result<std::string_view> {
      block.resize(read_bytes);
      auto got = source.read_at(offset, {block.data(), static_cast<std::size_t>(count)});
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) return std::unexpected(core::invalid("the input could not be read"));
      return std::string_view(block.data(), *got);
    };
    auto in_parts = check_in_parts(check, size, plan, monitor, read_block);
    if (!in_parts) return std::unexpected(std::move(in_parts.error()));
    if (*in_parts) return size;
  }
  core::Checkpoints checking(monitor, core::Stage::Checking);
  // Read into without zeroing it first.
  ByteBuffer buffer;
  const std::span<char> block(buffer.room(read_bytes), read_bytes);
  std::uint64_t total = 0;
  for (;;) {
    auto got = source.read(block);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    check.feed({block.data(), *got});
    total += *got;
    // What comes after a record that is refused is neither read nor kept, but for a margin: a
    // quote inside a field opens nothing for the reader, which may so find that record ending
    // after the line end the quote count gives, and must see it whole to refuse it as it would
    // refuse the whole input.
    if (const auto stop = check.stop_at(); stop && total >= *stop + refused_record_margin) {
      return *stop + refused_record_margin;
    }
    if (auto go_on = checking.reached(total); !go_on) return std::unexpected(go_on.error());
  }
  if (auto checked = check.outcome(); !checked) return std::unexpected(checked.error());
  return total;
}

}  // namespace morvel::readers
