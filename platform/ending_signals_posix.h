// The signals that end a run (it removes its temporary name first, and its
// supervisor passes them on), and ending the process by one, for the run and
// its supervisor alike, so that the shell sees the signal that ended it.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace artpeel::platform {

inline constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

[[noreturn]] inline void DieBySignal(int signal_number) {
  signal(signal_number, SIG_DFL);
  sigset_t this_one;
  sigemptyset(&this_one);
  sigaddset(&this_one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &this_one, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);  // a signal whose default does not end a process
}

}  // namespace artpeel::platform
