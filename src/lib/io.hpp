#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lib/error.hpp"

namespace morvel {

// Bytes per read and write call on descriptors.
inline constexpr std::size_t io_buffer_size = 8192;

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

 protected:
  ByteSink(ByteSink&&) = default;
  ByteSink& operator=(ByteSink&&) = default;
};

// Appends every remaining byte of `source` to `out`. Stops at the first read error, unchanged.
[[nodiscard]] Status read_to_end(ByteSource& source, std::string& out);

// A file descriptor. An owning Fd closes it when destroyed (retrying on EINTR); a borrowed one
// (standard input and output) is left open.
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
  explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  [[nodiscard]] std::optional<std::string_view> contiguous() const noexcept override {
    return bytes_;
  }
  [[nodiscard]] std::size_t size_hint() const noexcept override { return bytes_.size(); }

 private:
  std::string_view bytes_;  // the unread part of the caller's buffer
};

// A source over a descriptor; reads go straight to the system into the caller's buffer.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(Fd fd) noexcept : fd_(std::move(fd)) {}
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  [[nodiscard]] std::size_t size_hint() const noexcept override;

 private:
  Fd fd_;
};

// A sink that grows a byte string in memory. Writing never fails.
class StringSink final : public ByteSink {
 public:
  [[nodiscard]] Status write(std::string_view bytes) override;
  [[nodiscard]] Status flush() override { return {}; }
  [[nodiscard]] const std::string& bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::string take() noexcept { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// A sink over a descriptor behind a write buffer. When destroyed it writes out what it still
// buffers and ignores errors; call flush() where a failure matters.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(Fd fd);
  FdSink(FdSink&&) = default;
  FdSink& operator=(FdSink&&) = delete;  // would drop buffered bytes of the target
  ~FdSink() override;

  [[nodiscard]] Status write(std::string_view bytes) override;
  [[nodiscard]] Status flush() override;

 private:
  Status write_through(std::string_view bytes);

  Fd fd_;
  std::string buffer_;
};

}  // namespace morvel
