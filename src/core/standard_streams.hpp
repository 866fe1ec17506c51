#pragma once

namespace morvel::core {

// The standard streams as the process has them while a run uses them. One that is closed is held
// open on /dev/null meanwhile, so that no file the run opens (an input, an output, a temporary
// copy of the input) takes its number and is read or written as that stream, by the run or by
// another thread of the process; it is closed again at the end, leaving the process as it was.
class StandardStreams {
 public:
  // Looks at descriptors `in_fd`, `out_fd` and `err_fd`; only 0, 1 and 2 are held. Never fails:
  // a stream that cannot be held is still known to be closed.
  StandardStreams(int in_fd, int out_fd, int err_fd) noexcept
      : in_(hold(in_fd)), out_(hold(out_fd)), err_(hold(err_fd)) {}
  StandardStreams(const StandardStreams&) = delete;  // closes what it holds, once
  StandardStreams& operator=(const StandardStreams&) = delete;
  ~StandardStreams();

  // Whether the stream was closed when the run began. Never fail.
  [[nodiscard]] bool is_input_closed() const noexcept { return in_.is_closed; }
  [[nodiscard]] bool is_output_closed() const noexcept { return out_.is_closed; }

 private:
  struct Held {
    int fd;
    bool is_closed;
    bool is_placeholder;  // /dev/null, opened here
  };

  static Held hold(int fd) noexcept;

  Held in_;
  Held out_;
  Held err_;
};

}  // namespace morvel::core
