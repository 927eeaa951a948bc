#include "cache/report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace artpeel {

void PrintReport(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  // Report lines are short but for those that name a path.
  char line[512];
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
    platform::AddToReport({line, static_cast<std::size_t>(length)});
  } else if (length >= 0) {
    std::string longer(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(longer.data(), longer.size(), format, again);
    longer.pop_back();
    platform::AddToReport(longer);
  }
  va_end(again);
}

bool FinishReport(std::uint32_t& error_code) {
  error_code = platform::FlushReport();
  return error_code == 0;
}

}  // namespace artpeel
