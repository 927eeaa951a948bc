// POSIX side of the progress line: whether the run shows one, and its bytes
// written to standard error by write(2), which the interrupt cleanup's signal
// handler calls too.
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// Whether a progress line is on the terminal that no line break has ended. The
// interrupt cleanup's signal handler ends such a line, and it learns that from
// nothing but this.
volatile std::sig_atomic_t progress_line_open = 0;

// Keeps the compiler from moving writes across it as the signal handler sees
// them (see output_file_posix.cpp for why not std::atomic_signal_fence).
inline void SignalFence() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

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
  // Marked open before the bytes go out and closed only after them: a signal in
  // between ends, at worst, a line that is already empty or ended.
  if (line_open) progress_line_open = 1;
  SignalFence();
  WriteToStandardError(bytes.data(), bytes.size());
  SignalFence();
  if (!line_open) progress_line_open = 0;
}

void EndProgressLineOnInterrupt() {
  if (progress_line_open == 0) return;
  WriteToStandardError("\n", 1);
  progress_line_open = 0;
}

}  // namespace artpeel::platform
