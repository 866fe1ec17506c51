#include "core/io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
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

Result<std::size_t> FdSource::read(std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
    if (n >= 0) {
      delivered_ += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
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

FdSource::~FdSource() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
}

std::optional<std::string_view> FdSource::map() noexcept {
  if (!may_map_) return std::nullopt;
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    return std::nullopt;
  }
  const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (position < 0 || position >= info.st_size) return std::nullopt;
  if (mapping_ == nullptr) {
    const auto size = static_cast<std::size_t>(info.st_size);
    // Mapping spares what reading costs on top of the parse: zeroing fresh pages for a buffer
    // the size of the input and copying every byte into it (a fifth of a CSV conversion when
    // measured). Pages are mapped as they are first touched; populating them all up front
    // measured no faster, and would charge a reader that looks at the first byte only (JSON
    // Lines) with the whole file.
    void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd_.get(), 0);
    if (mapping == MAP_FAILED) return std::nullopt;
    mapping_ = mapping;
    mapping_size_ = size;
  }
  const auto offset = static_cast<std::size_t>(position);
  if (offset >= mapping_size_) return std::nullopt;
  return std::string_view(static_cast<const char*>(mapping_) + offset, mapping_size_ - offset);
}

FdSource::FdSource(Fd fd, Mapping mapping, Monitor* monitor) noexcept
    : fd_(std::move(fd)),
      may_map_(mapping == Mapping::Allowed),
      monitor_(monitor),
      start_(::lseek(fd_.get(), 0, SEEK_CUR)) {}

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
