// POSIX side of the progress line: whether the run shows one, and its bytes
// written to standard error by write(2), which the interrupt cleanup calls too.
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// A run ended from outside ends a progress line left open, from the thread
// that takes the ending signals (or SIGPIPE's handler), while the working
// thread may be drawing it. It must not write its line break into the middle
// of the line's bytes, nor may a line follow the break: the writes and the
// ending meet through these flags, read and written with the compiler's
// atomics (sequentially consistent), which a signal handler may use too.
// (libstdc++'s <atomic> needs the C library's GNU extensions, which the POSIX
// layer is built without, as on macOS.)
bool progress_line_open = false;
bool writing_progress_line = false;
bool progress_line_ended = false;

bool Load(const bool& flag) { return __atomic_load_n(&flag, __ATOMIC_SEQ_CST); }
void Store(bool& flag, bool value) { __atomic_store_n(&flag, value, __ATOMIC_SEQ_CST); }

void WriteToStandardError(const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDERR_FILENO, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

bool ProgressLineWanted() { return isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) == 0; }

bool TerminalInForeground() {
  // tcgetpgrp fails when the terminal is not the run's controlling terminal:
  // there is no job control of the run's own to disturb then.
  const pid_t foreground = tcgetpgrp(STDERR_FILENO);
  return foreground < 0 || foreground == getpgrp();
}

void WriteProgressLine(std::string_view bytes, bool line_open) {
  // Either the ending sees this write under way and waits for it, or this
  // sees the ending's mark and writes nothing (both flags sequentially
  // consistent).
  Store(writing_progress_line, true);
  if (!Load(progress_line_ended)) {
    if (line_open) Store(progress_line_open, true);
    WriteToStandardError(bytes.data(), bytes.size());
    if (!line_open) Store(progress_line_open, false);
  }
  Store(writing_progress_line, false);
}

void EndProgressLineOnInterrupt() {
  Store(progress_line_ended, true);
  // A write to a terminal can be held up (flow control, a full pseudo-terminal);
  // the ending does not wait for it for long.
  // nanosleep, not usleep: this runs in a signal handler where no thread can
  // take the ending signals.
  const struct timespec millisecond = {0, 1000000};
  for (int waits = 0; Load(writing_progress_line) && waits < 100; ++waits) {
    nanosleep(&millisecond, nullptr);
  }
  // A background job that wrote to its terminal would be stopped there (with
  // `stty tostop`), and a stopped run does not end: the line is left as it is.
  if (__atomic_exchange_n(&progress_line_open, false, __ATOMIC_SEQ_CST) &&
      TerminalInForeground()) {
    WriteToStandardError("\n", 1);
  }
}

}  // namespace artpeel::platform
