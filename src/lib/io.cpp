#include "lib/io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace morvel {

Status read_to_end(ByteSource& source, std::string& out) {
  if (auto view = source.contiguous()) {
    out.append(*view);
    return {};
  }
  // Reading straight into the string's spare capacity avoids a bounce buffer; the size hint
  // makes a regular file arrive in one allocation.
  std::size_t chunk = std::max<std::size_t>(io_buffer_size, source.size_hint() + 1);
  for (;;) {
    const std::size_t old_size = out.size();
    out.resize(old_size + chunk);
    auto got = source.read(std::span<char>(out.data() + old_size, chunk));
    if (!got) {
      out.resize(old_size);
      return std::unexpected(std::move(got.error()));
    }
    out.resize(old_size + *got);
    if (*got == 0) return {};
    chunk = std::max(chunk, out.size() / 2);
  }
}

Fd::Fd(Fd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owns_(std::exchange(other.owns_, false)) {}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    owns_ = std::exchange(other.owns_, false);
  }
  return *this;
}

Fd::~Fd() { reset(); }

void Fd::reset() noexcept {
  if (owns_ && fd_ >= 0) {
    // On Linux the descriptor is released even when close reports EINTR, so retrying could close
    // a descriptor that another thread has just been given.
    ::close(fd_);
  }
  fd_ = -1;
  owns_ = false;
}

namespace {

// The system would read a path only up to its first NUL byte and open some other file.
Status check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return {};
  return std::unexpected(Error{ErrorKind::Open, "file name contains a NUL byte"});
}

}  // namespace

Result<Fd> open_for_reading(const std::string& path) {
  if (auto checked = check_path(path); !checked) return std::unexpected(std::move(checked.error()));
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(os_error(ErrorKind::Open, errno));
  return Fd::owned(fd);
}

Result<Fd> open_for_writing(const std::string& path) {
  if (auto checked = check_path(path); !checked) return std::unexpected(std::move(checked.error()));
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(os_error(ErrorKind::Open, errno));
  return Fd::owned(fd);
}

Result<std::size_t> MemorySource::read(std::span<char> buffer) {
  const std::size_t n = std::min(buffer.size(), bytes_.size());
  if (n > 0) std::memcpy(buffer.data(), bytes_.data(), n);
  bytes_.remove_prefix(n);
  return n;
}

Result<std::size_t> FdSource::read(std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(os_error(ErrorKind::Io, errno));
  }
}

std::size_t FdSource::size_hint() const noexcept {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (position < 0 || position > info.st_size) return 0;
  return static_cast<std::size_t>(info.st_size - position);
}

Status StringSink::write(std::string_view bytes) {
  bytes_.append(bytes);
  return {};
}

FdSink::FdSink(Fd fd) : fd_(std::move(fd)) { buffer_.reserve(io_buffer_size); }

FdSink::~FdSink() {
  if (fd_.get() >= 0) (void)flush();
}

Status FdSink::write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= io_buffer_size) {
    buffer_.append(bytes);
    return {};
  }
  if (auto flushed = flush(); !flushed) return flushed;
  if (bytes.size() >= io_buffer_size) return write_through(bytes);
  buffer_.append(bytes);
  return {};
}

Status FdSink::flush() {
  if (buffer_.empty()) return {};
  Status written = write_through(buffer_);
  // A failed write leaves nothing to retry: the bytes are dropped, as a later flush at release
  // must not report or repeat them.
  buffer_.clear();
  return written;
}

Status FdSink::write_through(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error(ErrorKind::Io, errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace morvel
