#include "core/standard_streams.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <initializer_list>

namespace morvel::core {

StandardStreams::~StandardStreams() {
  for (const Held& held : {in_, out_, err_}) {
    if (held.is_placeholder) ::close(held.fd);
  }
}

StandardStreams::Held StandardStreams::hold(int fd) noexcept {
  if (fd >= 0 && (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)) return {fd, false, false};
  if (fd < 0 || fd > 2) return {fd, true, false};
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return {fd, true, false};
  if (null == fd) return {fd, true, true};
  // Another stream below this one is closed as well, and took the lower number.
  const bool is_held = ::dup3(null, fd, O_CLOEXEC) == fd;
  ::close(null);
  return {fd, true, is_held};
}

}  // namespace morvel::core
