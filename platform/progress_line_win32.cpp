// Win32 side of the progress line: whether the run shows one, and its bytes
// written to the standard error console.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// Ctrl+C, Ctrl+Break and a closed console end the run from a thread of their
// own (the writer's console control handler), which ends a progress line left
// open. It must not write its line break into the middle of the line's bytes,
// nor may a line follow the break: the writes and the handler meet through
// these flags, which it learns its context from.
std::atomic<bool> progress_line_open{false};
std::atomic<bool> writing_progress_line{false};
std::atomic<bool> progress_line_ended{false};

bool IsConsole(DWORD standard_handle) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(standard_handle), &mode) != 0;
}

void WriteToStandardError(const char* bytes, std::size_t size) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return;
    }
    bytes += written;
    size -= written;
  }
}

}  // namespace

bool ProgressLineWanted() { return IsConsole(STD_ERROR_HANDLE) && !IsConsole(STD_OUTPUT_HANDLE); }

bool TerminalInForeground() { return true; }

void WriteProgressLine(std::string_view bytes, bool line_open) {
  // Either the handler sees this write under way and waits for it, or this
  // sees the handler's mark and writes nothing (both flags sequentially
  // consistent).
  writing_progress_line = true;
  if (!progress_line_ended) {
    if (line_open) progress_line_open = true;
    WriteToStandardError(bytes.data(), bytes.size());
    if (!line_open) progress_line_open = false;
  }
  writing_progress_line = false;
}

void EndProgressLineOnInterrupt() {
  progress_line_ended = true;
  while (writing_progress_line) Sleep(1);
  if (progress_line_open.exchange(false)) WriteToStandardError("\n", 1);
}

}  // namespace artpeel::platform
