#include "core/io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace morvel::core {

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { std::free(data_); }

void ByteBuffer::grow(std::size_t bytes) {
  // Doubling keeps appends amortised constant; for a large block the extra capacity is only
  // address space until it is written.
  reallocate(std::max({size_ + bytes, 2 * capacity_, std::size_t{256}}));
}

void ByteBuffer::reallocate(std::size_t capacity) {
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

void ByteBuffer::drop_front(std::size_t count) noexcept {
  if (count == 0) return;
  std::memmove(data_, data_ + count, size_ - count);
  size_ -= count;
}

void ByteBuffer::append(std::string_view bytes) {
  char* at = room(bytes.size());
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  size_ += bytes.size();
}

Result<std::size_t> read_some(ByteSource& source, ByteBuffer& out, std::size_t at_least) {
  char* const at = out.room(at_least);
  auto got = source.read(std::span<char>(at, out.capacity() - out.size()));
  if (got) out.commit(at + *got);
  return got;
}

Status read_to_end(ByteSource& source, ByteBuffer& out) {
  if (auto view = source.contiguous()) {
    out.append(*view);
    return {};
  }
  // Reads go straight into the buffer's free room, which is neither zero-filled first nor
  // bounced through another buffer. The size hint makes a regular file arrive in one block of
  // its size; the extra byte lets the read that reports the end fit without growing the block.
  out.reserve(out.size() + std::max(io_buffer_size, source.size_hint() + 1));
  for (;;) {
    auto got = read_some(source, out, 1);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return {};
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

Result<std::size_t> ByteSource::read_at(std::uint64_t, std::span<char>) {
  return std::unexpected(os_error(ErrorKind::Io, ESPIPE));
}

FdSource::FdSource(Fd fd, Monitor* monitor) noexcept
    : fd_(std::move(fd)), monitor_(monitor), start_(::lseek(fd_.get(), 0, SEEK_CUR)) {
  struct stat info;
  is_regular_ = start_ >= 0 && ::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode);
  expected_ = size_hint();
}

namespace {

// The error for a regular file that ended after `delivered` of the `expected` bytes it had.
Error shrank(std::uint64_t expected, std::uint64_t delivered) {
  // A file cut short by another process while it is read would otherwise pass for a shorter
  // input, converted without a word about what went missing.
  return Error{ErrorKind::Io, "the input file shrank while it was read: it had " +
                                  std::to_string(expected) + " bytes, and ended after " +
                                  std::to_string(delivered)};
}

}  // namespace

Result<std::size_t> FdSource::read_at(std::uint64_t offset, std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::pread(fd_.get(), buffer.data(), buffer.size(),
                              static_cast<off_t>(static_cast<std::uint64_t>(start_) + offset));
    if (n > 0 || (n == 0 && buffer.empty())) return static_cast<std::size_t>(n);
    if (n == 0) {
      if (offset < expected_) return std::unexpected(shrank(expected_, offset));
      return std::size_t{0};
    }
    if (errno != EINTR) return std::unexpected(os_error(ErrorKind::Io, errno));
  }
}

bool FdSource::would_wait() const noexcept {
  if (is_regular_) return false;
  struct pollfd ready {
    fd_.get(), POLLIN, 0
  };
  return ::poll(&ready, 1, 0) == 0;
}

Result<std::size_t> FdSource::read(std::span<char> buffer) {
  // A regular file never keeps a read waiting; only a stream pays the poll.
  if (monitor_ != nullptr && !is_regular_ && would_wait()) {
    if (auto idle = monitor_->idle(); !idle) return std::unexpected(std::move(idle.error()));
  }
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
    if (n > 0 || (n == 0 && buffer.empty())) {
      delivered_ += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
    }
    if (n == 0) {
      if (delivered_ < expected_) return std::unexpected(shrank(expected_, delivered_));
      return std::size_t{0};
    }
    if (errno != EINTR) return std::unexpected(os_error(ErrorKind::Io, errno));
    // A signal may be the user's Ctrl-C while the input keeps us waiting.
    if (monitor_ != nullptr) {
      if (auto go_on = monitor_->check(); !go_on) {
        return std::unexpected(std::move(go_on.error()));
      }
    }
  }
}

bool FdSource::rewind() noexcept {
  struct stat info;
  if (start_ < 0 || ::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (::lseek(fd_.get(), start_, SEEK_SET) < 0) return false;
  delivered_ = 0;
  return true;
}

std::size_t FdSource::size_hint() const noexcept {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (position < 0 || position > info.st_size) return 0;
  return static_cast<std::size_t>(info.st_size - position);
}

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory == nullptr || *directory == '\0' ? "/tmp" : directory;
}

Result<Fd> open_temporary() {
  const std::string directory = temporary_directory();
  int fd;
  do {
    fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return Fd::owned(fd);
  // File systems without unnamed files get a named one, unlinked at once.
  std::string path = directory + "/morvel-XXXXXX";
  fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error(ErrorKind::Io, errno));
  ::unlink(path.c_str());
  return Fd::owned(fd);
}

namespace {

// pread and pwrite of all the bytes asked for, as far as the file has them; -1 on an error.
template <class Transfer, class Byte>
ssize_t transfer_all(Transfer transfer, int fd, Byte* data, std::size_t size, std::uint64_t at) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = transfer(fd, data + done, size - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The error of a temporary copy of the input that could not be written or read, from errno
// `code`.
Error copy_failure(int code) {
  return Error{ErrorKind::Io,
               "the input could not be kept in a temporary file for a second "
               "reading: " +
                   os_error(ErrorKind::Io, code).message,
               code};
}

// The error of a temporary copy of the input that could not be made: the directory it was to be
// made in is what the user can change.
Error copy_not_made(int code) {
  return Error{ErrorKind::Io,
               "the input could not be kept in a temporary file in '" + temporary_directory() +
                   "' for a second reading: " + os_error(ErrorKind::Io, code).message,
               code};
}

}  // namespace

Result<std::size_t> ReplayableSource::read(std::span<char> buffer) {
  if (mode_ == Mode::Unknown) {
    // A source that goes back to its start before anything was read loses nothing.
    mode_ = inner_.contiguous() || inner_.rewind() ? Mode::Inner : Mode::Copy;
    if (mode_ == Mode::Copy) {
      auto copy = open_temporary();
      if (!copy) {
        mode_ = Mode::Failed;
        return std::unexpected(copy_not_made(copy.error().code));
      }
      copy_ = std::move(*copy);
    }
  }
  if (mode_ == Mode::Inner) return inner_.read(buffer);
  if (mode_ == Mode::Failed) return std::unexpected(copy_failure(EIO));
  return read_copying(buffer);
}

Result<std::size_t> ReplayableSource::read_copying(std::span<char> buffer) {
  if (at_ < copied_) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), copied_ - at_));
    const ssize_t n = transfer_all(::pread, copy_.get(), buffer.data(), want, at_);
    if (n <= 0) {
      mode_ = Mode::Failed;
      return std::unexpected(copy_failure(n < 0 ? errno : EIO));
    }
    at_ += static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
  }
  auto got = inner_.read(buffer);
  if (!got || *got == 0) return got;
  if (transfer_all(::pwrite, copy_.get(), buffer.data(), *got, copied_) !=
      static_cast<ssize_t>(*got)) {
    const int code = errno != 0 ? errno : ENOSPC;
    mode_ = Mode::Failed;
    return std::unexpected(copy_failure(code));
  }
  copied_ += *got;
  at_ = copied_;
  return got;
}

bool ReplayableSource::rewind() noexcept {
  switch (mode_) {
    case Mode::Unknown:
      return true;
    case Mode::Inner:
      return inner_.rewind() || inner_.contiguous().has_value();
    case Mode::Copy:
      at_ = 0;
      return true;
    case Mode::Failed:
      return false;
  }
  return false;
}

Status StringSink::write(std::string_view bytes) {
  bytes_.append(bytes);
  return {};
}

FdSink::FdSink(Fd fd, Monitor* monitor) : fd_(std::move(fd)), monitor_(monitor) {
  (void)buffer_.room(write_buffer_size);
}

FdSink::~FdSink() {
  if (fd_.get() >= 0) (void)flush();
}

Status FdSink::write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= write_buffer_size) {
    buffer_.append(bytes);
    return {};
  }
  if (auto flushed = flush(); !flushed) return flushed;
  if (bytes.size() >= write_buffer_size) return write_through(bytes);
  buffer_.append(bytes);
  return {};
}

Status FdSink::appended() {
  if (buffer_.size() < write_buffer_size) return {};
  return flush();
}

Status FdSink::flush() {
  if (buffer_.empty()) return {};
  Status written = write_through(buffer_.view());
  // A failed write leaves nothing to retry: the bytes are dropped, as a later flush at release
  // must not report or repeat them.
  buffer_.clear();
  return written;
}

Status FdSink::write_through(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno != EINTR) return std::unexpected(os_error(ErrorKind::Io, errno));
      // A signal may be the user's Ctrl-C while a full pipe keeps us waiting.
      if (monitor_ != nullptr) {
        if (auto go_on = monitor_->check(); !go_on) return go_on;
      }
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace morvel::core
