// The morvel command as a program of its own: the same driver that cli_main runs inside Python,
// without an interpreter to start first (a shell loop over thousands of small files pays that
// start for each).
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/run_cli.hpp"
#include "core/error.hpp"
#include "core/monitor.hpp"

namespace {

// Set by the SIGINT handler, read by the monitor. A handler can reach nothing but a static, and
// the flag only ever goes from 0 to 1.
volatile sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

// Stops the run once Ctrl-C was pressed, as the interpreter's handler does for cli_main: the
// driver then writes out what it holds and ends with its interrupted status, silently.
class InterruptMonitor final : public morvel::core::Monitor {
 public:
  morvel::core::Status check() override {
    if (interrupted == 0) return {};
    return std::unexpected(
        morvel::core::Error{morvel::core::ErrorKind::Interrupted, "interrupted", 0});
  }
  void warn(morvel::core::Notice) override {}
};

// The signal set-up an interpreter gives the command: Ctrl-C is caught without restarting the
// system call it interrupts, so that a read waiting on a pipe returns and the run checks in; a
// closed output pipe is a write error (the driver ends with its broken-pipe status) rather than
// a signal that ends the process before the output is flushed.
void set_up_signals() {
  struct sigaction action{};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  set_up_signals();
  InterruptMonitor monitor;
  const std::vector<std::string> args(argv, argv + argc);
  const std::optional<int> status = morvel::cli::run_cli(args, 0, 1, 2, &monitor);
  return status ? *status : 0;
}
