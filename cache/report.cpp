#include "cache/report.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace artpeel {

namespace {

// The system's code for the first failed write of the report. Like standard
// output's own error flag, which says only that a write failed, it lasts as long
// as the process: stdio drops the lines of a failed write, so the reason cannot
// be asked for again at the end.
std::uint32_t first_write_error = 0;

void NoteWriteError() {
  if (first_write_error == 0) first_write_error = platform::StandardOutputErrorCode();
  // A code of 0 would read as no failure.
  if (first_write_error == 0) first_write_error = ~std::uint32_t{0};
}

}  // namespace

void PrintReport(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const int printed = std::vprintf(format, arguments);
  va_end(arguments);
  if (printed < 0) NoteWriteError();
}

bool FinishReport(std::uint32_t& error_code) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) NoteWriteError();
  error_code = first_write_error;
  return first_write_error == 0;
}

}  // namespace artpeel
