#pragma once

#include <pthread.h>
#include <signal.h>

namespace morvel::readers {

// Signals go to the thread that reads, which checks in with the caller's monitor (a Ctrl-C must
// reach the Python interpreter's main thread): threads started within the life of one of these
// block them all. Never fails.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before_);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;  // restores once
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

}  // namespace morvel::readers
