#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "convert/options.hpp"
#include "core/error.hpp"
#include "core/io.hpp"

namespace morvel::convert {

// Whole statements of a script, handed over from the conversion's thread at once.
struct StatementBatch {
  core::ByteBuffer bytes;         // the statements back to back, perhaps with bytes after them
  std::vector<std::size_t> ends;  // where each statement in `bytes` ends
  // The warnings, each with how many of the batch's statements come before it.
  std::vector<std::pair<std::size_t, core::Notice>> warnings;
  // On the last batch: how the conversion ended, and the C++ exception that ended it, if one did.
  std::optional<core::Status> outcome;
  std::exception_ptr fault;
};

// Runs a conversion on a thread of its own, with every signal blocked there, and hands its
// statements over in batches through a queue of a few megabytes. The thread waits while the queue
// is full, so memory stays bounded however slowly the statements are taken; while the taker
// waits, statements go over as soon as they are whole, or when a stream input has nothing more
// for the moment.
class StatementQueue {
 public:
  // Starts converting `source` with `options`. `descriptor` is the descriptor a stream source
  // reads (-1 for none): its reads wait on it and on stop() at once, so that an input that stays
  // silent cannot hold stop() up. Throws std::system_error when no thread (or, for a
  // stream, no event descriptor) can be made.
  StatementQueue(std::unique_ptr<core::ByteSource> source, int descriptor, CheckedOptions options);
  StatementQueue(const StatementQueue&) = delete;  // its thread works on it
  StatementQueue& operator=(const StatementQueue&) = delete;
  ~StatementQueue();

  // The next batch, or nothing when `wait` passed before one came. The last batch has its
  // outcome set; none follows it. Never fails.
  [[nodiscard]] std::optional<StatementBatch> take(std::chrono::milliseconds wait) noexcept;

  // Gives back the memory of a batch whose statements are taken, for later batches. Never fails.
  void give_back(StatementBatch batch) noexcept;

  // Stops the conversion where it stands and waits for its thread; statements not yet taken are
  // dropped. Never fails.
  void stop() noexcept;

 private:
  struct Channel;
  class Handover;
  class StoppableSource;
  void run() noexcept;

  std::unique_ptr<core::ByteSource> source_;
  CheckedOptions options_;
  std::unique_ptr<Channel> channel_;
  std::unique_ptr<Handover> handover_;
  std::unique_ptr<StoppableSource> input_;
  std::thread thread_;
};

}  // namespace morvel::convert
