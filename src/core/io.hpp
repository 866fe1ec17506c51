#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/monitor.hpp"

namespace morvel::core {

// Bytes per read call on descriptors, at least.
inline constexpr std::size_t io_buffer_size = 8192;

// Bytes a descriptor sink collects before it writes them out. Measured on a 370 MB output: 8 KiB
// writes spent a fifth of the conversion in system calls, 256 KiB ones about 1%.
inline constexpr std::size_t write_buffer_size = 256 * 1024;

// A growable byte string on malloc and realloc: a large block grows by remapping its pages
// rather than copying them (std::string copies on every doubling and touches twice the pages),
// and room is never zero-filled. Move-only.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;  // the block has one owner
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  // Room for at least `bytes` more bytes after the end, where the caller writes before it calls
  // commit(). Throws std::bad_alloc when memory runs out.
  [[nodiscard]] char* room(std::size_t bytes) {
    if (capacity_ - size_ < bytes) grow(bytes);
    return data_ + size_;
  }
  // Ends the bytes at `end`, which lies within the last room(). Never fails.
  void commit(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }
  // Appends `bytes`. Throws std::bad_alloc when memory runs out.
  void append(std::string_view bytes);
  // Makes room for `capacity` bytes in all, exactly, when there is less. Throws std::bad_alloc
  // when memory runs out.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }
  // Forgets every byte and keeps the block. Never fails.
  void clear() noexcept { size_ = 0; }
  // Forgets the first `count` bytes, at most size(), moving the rest to the front. Never fails.
  void drop_front(std::size_t count) noexcept;

  [[nodiscard]] const char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void grow(std::size_t bytes);
  void reallocate(std::size_t capacity);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A readable stream of bytes, consumed once from its current position.
class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;  // a stream position cannot be shared
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  // Reads at most buffer.size() bytes into `buffer` and returns how many; 0 only at the end of the
  // input. Fails with the system error of the failed read (ErrorKind::Io).
  [[nodiscard]] virtual Result<std::size_t> read(std::span<char> buffer) = 0;

  // The unread rest of the input as one view when the source already holds it in memory, else
  // nothing. The view borrows the source's buffer and lives as long as the source. Never fails.
  [[nodiscard]] virtual std::optional<std::string_view> contiguous() const noexcept {
    return std::nullopt;
  }

  // How many bytes the source expects to deliver, or 0 when unknown. Never fails.
  [[nodiscard]] virtual std::size_t size_hint() const noexcept { return 0; }

  // Goes back to where the source started, for a reader that reads its input twice; false for a
  // source that cannot (a pipe), which is then left where it was. Never fails.
  [[nodiscard]] virtual bool rewind() noexcept { return false; }

  // Whether read_at() serves, from any thread at once: a regular file. Never fails.
  [[nodiscard]] virtual bool reads_at() const noexcept { return false; }

  // Whether a read now would wait for the input to come (a pipe, a socket or a terminal with
  // nothing to read yet). Never fails.
  [[nodiscard]] virtual bool would_wait() const noexcept { return false; }
  // Reads at most buffer.size() bytes from `offset` bytes after where the source started, without
  // moving it; 0 only past the end. Only where reads_at(). Fails like read().
  [[nodiscard]] virtual Result<std::size_t> read_at(std::uint64_t offset, std::span<char> buffer);

 protected:
  ByteSource(ByteSource&&) = default;
  ByteSource& operator=(ByteSource&&) = default;
};

// A writable stream of bytes.
class ByteSink {
 public:
  ByteSink() = default;
  ByteSink(const ByteSink&) = delete;  // buffered bytes must have one owner
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink() = default;

  // Writes all of `bytes` (possibly into a buffer). Fails with the system error (ErrorKind::Io).
  [[nodiscard]] virtual Status write(std::string_view bytes) = 0;
  // Hands every buffered byte to the system. Fails with the system error (ErrorKind::Io).
  [[nodiscard]] virtual Status flush() = 0;

  // The sink's own buffer, for a producer that appends to it directly and then calls appended()
  // instead of building its bytes elsewhere and passing them to write(); nothing when the sink
  // has no such buffer. Lives as long as the sink. Never fails.
  [[nodiscard]] virtual ByteBuffer* buffer() noexcept { return nullptr; }
  // Takes note of bytes appended to buffer(): a descriptor sink writes them out once it holds
  // enough. Fails like write().
  [[nodiscard]] virtual Status appended() { return {}; }

 protected:
  ByteSink(ByteSink&&) = default;
  ByteSink& operator=(ByteSink&&) = default;
};

// Reads once from `source` into the free room of `out`, made at least `at_least` bytes first,
// and returns how many bytes came; 0 only at the end of the input. Fails like ByteSource::read,
// with nothing appended. Throws std::bad_alloc when memory runs out.
[[nodiscard]] Result<std::size_t> read_some(ByteSource& source, ByteBuffer& out,
                                            std::size_t at_least);

// Appends every remaining byte of `source` to `out`. Stops at the first read error, unchanged,
// with what came before it appended.
[[nodiscard]] Status read_to_end(ByteSource& source, ByteBuffer& out);

// A file descriptor. An owning Fd closes it when destroyed, once: on Linux an interrupted close
// has still released the descriptor. A borrowed one (standard input and output) is left open.
class Fd {
 public:
  Fd() = default;
  static Fd owned(int fd) noexcept { return Fd(fd, true); }
  static Fd borrowed(int fd) noexcept { return Fd(fd, false); }
  Fd(const Fd&) = delete;  // two owners would close the descriptor twice
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept;
  Fd& operator=(Fd&& other) noexcept;
  ~Fd();

  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  Fd(int fd, bool owns) noexcept : fd_(fd), owns_(owns) {}
  void reset() noexcept;

  int fd_ = -1;
  bool owns_ = false;
};

// Opens `path` read-only. Fails with the system error (ErrorKind::Open).
[[nodiscard]] Result<Fd> open_for_reading(const std::string& path);

// Opens `path` for writing, created with mode 0666 less the umask or truncated.
// Fails with the system error (ErrorKind::Open).
[[nodiscard]] Result<Fd> open_for_writing(const std::string& path);

// A source over bytes held elsewhere; the view borrows the caller's buffer, which must outlive it.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) noexcept : all_(bytes), bytes_(bytes) {}
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  [[nodiscard]] bool rewind() noexcept override {
    bytes_ = all_;
    return true;
  }
  [[nodiscard]] std::optional<std::string_view> contiguous() const noexcept override {
    return bytes_;
  }
  [[nodiscard]] std::size_t size_hint() const noexcept override { return bytes_.size(); }

 private:
  std::string_view all_;
  std::string_view bytes_;  // the unread part of the caller's buffer
};

// A source over a descriptor; reads go straight to the system into the caller's buffer. The
// input is read, never mapped: a file that shrinks under a mapping raises SIGBUS, which would end
// the process (a Python caller's interpreter too). A regular file that ends before the size it had
// when the source was made fails instead of passing for a shorter input.
class FdSource final : public ByteSource {
 public:
  // A read interrupted by a signal asks `monitor`, if given, whether to go on; a read that would
  // wait tells it first that the source is idle.
  explicit FdSource(Fd fd, Monitor* monitor = nullptr) noexcept;

  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  [[nodiscard]] std::size_t size_hint() const noexcept override;
  // A regular file goes back to where it stood when the source was made.
  [[nodiscard]] bool rewind() noexcept override;
  [[nodiscard]] bool reads_at() const noexcept override { return is_regular_; }
  [[nodiscard]] Result<std::size_t> read_at(std::uint64_t offset, std::span<char> buffer) override;
  [[nodiscard]] bool would_wait() const noexcept override;

 private:
  Fd fd_;
  Monitor* monitor_;
  std::uint64_t delivered_ = 0;  // bytes read since the start
  std::int64_t start_;           // where the file stood at the start; -1 for a stream
  std::uint64_t expected_ = 0;   // the bytes a regular file had from there at the start
  bool is_regular_ = false;
};

// A source that can be read again: `inner` itself when it can go back; otherwise every byte read
// from it is also written to a temporary file, unlinked from the start, that later readings take
// the bytes from before they read on from `inner`. The bytes of a pipe are so read once and kept
// on disk rather than in memory.
class ReplayableSource final : public ByteSource {
 public:
  // `inner` is borrowed and must outlive the source.
  explicit ReplayableSource(ByteSource& inner) noexcept : inner_(inner) {}

  // Fails as the inner source does, or with the system error of the temporary file (naming its
  // directory when the file could not be made).
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  [[nodiscard]] std::optional<std::string_view> contiguous() const noexcept override {
    return inner_.contiguous();
  }
  [[nodiscard]] std::size_t size_hint() const noexcept override { return inner_.size_hint(); }
  // Always goes back, but after a failure of the temporary file.
  [[nodiscard]] bool rewind() noexcept override;
  [[nodiscard]] bool reads_at() const noexcept override { return inner_.reads_at(); }
  [[nodiscard]] Result<std::size_t> read_at(std::uint64_t offset, std::span<char> buffer) override {
    return inner_.read_at(offset, buffer);
  }
  // Only where the reading has caught up with the copy and reads on from the inner source.
  [[nodiscard]] bool would_wait() const noexcept override {
    return (mode_ != Mode::Copy || at_ == copied_) && inner_.would_wait();
  }

 private:
  enum class Mode : std::uint8_t { Unknown, Inner, Copy, Failed };
  Result<std::size_t> read_copying(std::span<char> buffer);

  ByteSource& inner_;
  Mode mode_ = Mode::Unknown;
  Fd copy_;
  std::uint64_t copied_ = 0;  // bytes in the temporary file
  std::uint64_t at_ = 0;      // where this reading stands
};

// The directory temporary files are made in: $TMPDIR, else /tmp. Never fails.
[[nodiscard]] std::string temporary_directory();

// A new temporary file, already unlinked, open for reading and writing, in temporary_directory().
// Fails with the system error (ErrorKind::Io).
[[nodiscard]] Result<Fd> open_temporary();

// A sink that grows a byte string in memory. Writing never fails.
class StringSink final : public ByteSink {
 public:
  [[nodiscard]] Status write(std::string_view bytes) override;
  [[nodiscard]] Status flush() override { return {}; }
  [[nodiscard]] ByteBuffer* buffer() noexcept override { return &bytes_; }
  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_.view(); }
  [[nodiscard]] ByteBuffer take() noexcept { return std::move(bytes_); }

 private:
  ByteBuffer bytes_;
};

// A sink over a descriptor behind a write buffer. When destroyed it writes out what it still
// buffers and ignores errors; call flush() where a failure matters. A write interrupted by a
// signal asks `monitor`, if given, whether to go on.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(Fd fd, Monitor* monitor = nullptr);
  FdSink(FdSink&&) = default;
  FdSink& operator=(FdSink&&) = delete;  // would drop buffered bytes of the target
  ~FdSink() override;

  [[nodiscard]] Status write(std::string_view bytes) override;
  [[nodiscard]] Status flush() override;
  [[nodiscard]] ByteBuffer* buffer() noexcept override { return &buffer_; }
  [[nodiscard]] Status appended() override;

 private:
  Status write_through(std::string_view bytes);

  Fd fd_;
  Monitor* monitor_;
  ByteBuffer buffer_;
};

}  // namespace morvel::core
