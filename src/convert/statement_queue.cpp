#include "convert/statement_queue.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>

#include "convert/pipeline.hpp"
#include "readers/signals_blocked.hpp"
#include "sql/split.hpp"

namespace morvel::convert {

using core::ByteBuffer;
using core::Status;

namespace {

// Statements gathered before they go over in one batch, while the taker is busy: few enough
// batches that handing them over costs nothing next to making them.
constexpr std::size_t batch_bytes = 1024 * 1024;
// While the taker waits, a batch goes over at this size: soon, yet not a statement at a time.
constexpr std::size_t waited_batch_bytes = 4 * 1024;
// Bytes of batches the queue holds before the conversion waits; one batch is always let in,
// however large (a piece of the input converted on other threads comes as one).
constexpr std::size_t queue_bytes = 4 * 1024 * 1024;
// Emptied buffers kept for later batches, sparing the page faults of fresh memory.
constexpr std::size_t spare_buffers = 2;

core::Error stopped() { return core::Error{core::ErrorKind::Interrupted, "interrupted"}; }

}  // namespace

// What the two threads share, behind one mutex.
struct StatementQueue::Channel {
  std::mutex mutex;
  std::condition_variable has_batch;
  std::condition_variable has_room;
  std::deque<StatementBatch> ready;
  std::size_t queued = 0;  // bytes of the batches in `ready`
  std::vector<ByteBuffer> spares;
  bool has_ended = false;  // the thread is done, last batch handed over or not
  // Read without the mutex by the converting thread, at every statement.
  std::atomic<bool> is_stopping = false;
  std::atomic<bool> is_waited_for = false;
  core::Fd stop_event;  // readable once stopping, for a stream read to wake on

  Channel() { spares.reserve(spare_buffers); }  // give_back() then never allocates

  // Adds a batch, once there is room for it. Fails when the queue stops meanwhile.
  Status push(StatementBatch&& batch) {
    std::unique_lock lock(mutex);
    has_room.wait(lock, [&] {
      return is_stopping || queued == 0 || queued + batch.bytes.size() <= queue_bytes;
    });
    if (is_stopping) return std::unexpected(stopped());
    queued += batch.bytes.size();
    ready.push_back(std::move(batch));
    lock.unlock();
    has_batch.notify_one();
    return {};
  }

  ByteBuffer spare() {
    const std::scoped_lock lock(mutex);
    if (spares.empty()) return ByteBuffer();
    ByteBuffer buffer = std::move(spares.back());
    spares.pop_back();
    return buffer;
  }
};

// The sink the conversion writes to and the monitor it reports to, on the converting thread: it
// cuts the script into statements and hands the whole ones over, with the warnings among them.
class StatementQueue::Handover final : public core::ByteSink, public core::Monitor {
 public:
  Handover(Channel& channel, sql::Dialect dialect) noexcept
      : channel_(channel), splitter_(dialect) {}

  Status write(std::string_view bytes) override {
    buffer_.append(bytes);
    return appended();
  }
  Status flush() override { return {}; }
  ByteBuffer* buffer() noexcept override { return &buffer_; }
  Status appended() override {
    if (channel_.is_stopping.load(std::memory_order_relaxed)) return std::unexpected(stopped());
    const bool is_waited_for = channel_.is_waited_for.load(std::memory_order_relaxed);
    if (buffer_.size() < (is_waited_for ? waited_batch_bytes : batch_bytes)) return {};
    return hand_over(std::nullopt);
  }

  Status check() override {
    if (channel_.is_stopping.load(std::memory_order_relaxed)) return std::unexpected(stopped());
    return {};
  }
  void warn(core::Notice notice) override {
    warnings_.emplace_back(buffer_.size(), std::move(notice));
  }

  // Hands over the whole statements held, and with `outcome`, the last batch: everything left.
  // Fails when the queue stops meanwhile. Throws std::bad_alloc when memory runs out.
  Status hand_over(std::optional<Status> outcome, std::exception_ptr fault = nullptr) {
    StatementBatch batch;
    std::size_t cut = 0;
    while (const auto end = splitter_.next_end(buffer_.view())) batch.ends.push_back(cut = *end);
    const bool is_last = outcome.has_value();
    // Nothing morvel writes is left over; were anything, it would still reach the caller.
    if (is_last && cut < buffer_.size()) batch.ends.push_back(cut = buffer_.size());
    if (!is_last && batch.ends.empty()) return {};
    std::size_t warned = 0;
    for (; warned < warnings_.size() && (is_last || warnings_[warned].first <= cut); ++warned) {
      const auto before = std::ranges::upper_bound(batch.ends, warnings_[warned].first);
      batch.warnings.emplace_back(static_cast<std::size_t>(before - batch.ends.begin()),
                                  std::move(warnings_[warned].second));
    }
    warnings_.erase(warnings_.begin(), warnings_.begin() + static_cast<std::ptrdiff_t>(warned));
    for (auto& [offset, notice] : warnings_) offset -= cut;
    ByteBuffer rest = channel_.spare();
    rest.append(buffer_.view().substr(cut));
    // The script writes on into the same buffer object, which now holds what is left.
    batch.bytes = std::exchange(buffer_, std::move(rest));
    splitter_.drop(cut);
    batch.outcome = std::move(outcome);
    batch.fault = std::move(fault);
    return channel_.push(std::move(batch));
  }

 private:
  Channel& channel_;
  sql::StatementSplitter splitter_;
  ByteBuffer buffer_;
  std::vector<std::pair<std::size_t, core::Notice>> warnings_;  // with their offsets in buffer_
};

// A source whose reads of a stream wait for its data and for the queue's stop at once, and that
// hands over the whole statements held before it waits, so that what a slow stream gave is taken
// at once.
class StatementQueue::StoppableSource final : public core::ByteSource {
 public:
  StoppableSource(core::ByteSource& inner, int descriptor, Channel& channel, Handover& handover)
      : inner_(inner), descriptor_(descriptor), channel_(channel), handover_(handover) {}

  core::Result<std::size_t> read(std::span<char> buffer) override {
    if (descriptor_ >= 0 && !inner_.reads_at() && !is_readable(0)) {
      if (auto handed = handover_.hand_over(std::nullopt); !handed)
        return std::unexpected(handed.error());
      if (!is_readable(-1)) return std::unexpected(stopped());
    }
    return inner_.read(buffer);
  }
  std::optional<std::string_view> contiguous() const noexcept override {
    return inner_.contiguous();
  }
  std::size_t size_hint() const noexcept override { return inner_.size_hint(); }
  bool rewind() noexcept override { return inner_.rewind(); }
  bool reads_at() const noexcept override { return inner_.reads_at(); }
  core::Result<std::size_t> read_at(std::uint64_t offset, std::span<char> buffer) override {
    return inner_.read_at(offset, buffer);
  }

 private:
  // Whether the stream has something to read (or its end, or an error for the read to meet)
  // within `timeout` milliseconds (-1: however long it takes); false once the queue stops.
  bool is_readable(int timeout) const noexcept {
    pollfd waited[2] = {{descriptor_, POLLIN, 0}, {channel_.stop_event.get(), POLLIN, 0}};
    while (::poll(waited, 2, timeout) < 0) {
      if (errno != EINTR) return true;  // the read meets what is wrong
    }
    return waited[1].revents == 0 && waited[0].revents != 0;
  }

  core::ByteSource& inner_;
  int descriptor_;
  Channel& channel_;
  Handover& handover_;
};

StatementQueue::StatementQueue(std::unique_ptr<core::ByteSource> source, int descriptor,
                               CheckedOptions options)
    : source_(std::move(source)),
      options_(std::move(options)),
      channel_(std::make_unique<Channel>()),
      handover_(std::make_unique<Handover>(*channel_, options_->dialect)) {
  if (descriptor >= 0) {
    const int event = ::eventfd(0, EFD_CLOEXEC);
    if (event < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    channel_->stop_event = core::Fd::owned(event);
  }
  input_ = std::make_unique<StoppableSource>(
      *source_, channel_->stop_event.get() >= 0 ? descriptor : -1, *channel_, *handover_);
  // Signals go to the caller's thread, where Ctrl-C is heard; the new thread starts with them
  // all blocked.
  const readers::SignalsBlocked blocked;
  thread_ = std::thread([this] { run(); });
}

StatementQueue::~StatementQueue() { stop(); }

void StatementQueue::run() noexcept {
  try {
    Status outcome;
    std::exception_ptr fault;
    try {
      outcome = convert(*input_, *handover_, options_, handover_.get());
    } catch (...) {
      fault = std::current_exception();
    }
    (void)handover_->hand_over(std::move(outcome), fault);
  } catch (...) {
    // Out of memory for the last batch itself: take() tells the taker so.
  }
  {
    const std::scoped_lock lock(channel_->mutex);
    channel_->has_ended = true;
  }
  channel_->has_batch.notify_all();
}

std::optional<StatementBatch> StatementQueue::take(std::chrono::milliseconds wait) noexcept {
  std::unique_lock lock(channel_->mutex);
  channel_->is_waited_for = true;
  channel_->has_batch.wait_for(lock, wait,
                               [&] { return !channel_->ready.empty() || channel_->has_ended; });
  channel_->is_waited_for = false;
  if (channel_->ready.empty()) {
    if (!channel_->has_ended) return std::nullopt;
    StatementBatch lost;
    lost.outcome = Status{};
    lost.fault = std::make_exception_ptr(std::bad_alloc());
    return lost;
  }
  StatementBatch batch = std::move(channel_->ready.front());
  channel_->ready.pop_front();
  channel_->queued -= batch.bytes.size();
  lock.unlock();
  channel_->has_room.notify_one();
  return batch;
}

void StatementQueue::give_back(StatementBatch batch) noexcept {
  batch.bytes.clear();
  const std::scoped_lock lock(channel_->mutex);
  if (channel_->spares.size() < spare_buffers && batch.bytes.capacity() > 0) {
    channel_->spares.push_back(std::move(batch.bytes));
  }
}

void StatementQueue::stop() noexcept {
  if (!thread_.joinable()) return;
  {
    const std::scoped_lock lock(channel_->mutex);
    channel_->is_stopping = true;
  }
  channel_->has_room.notify_all();
  if (channel_->stop_event.get() >= 0) {
    const std::uint64_t one = 1;
    // Only a full counter refuses, and a counter that is not zero already wakes the reader.
    (void)!::write(channel_->stop_event.get(), &one, sizeof(one));
  }
  thread_.join();
}

}  // namespace morvel::convert
