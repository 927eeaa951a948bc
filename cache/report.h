// The report on standard output. Every report line goes through PrintReport
// into the platform's report (platform::AddToReport), which notes why the
// first write that failed did, so that the run can say so once, at its end,
// while the extraction goes on.
#pragma once

#include <cstdint>
#include <cstdio>  // on mingw-w64, defines the printf flavour its stdio follows

#if defined(__MINGW32__)
#define ARTPEEL_PRINTF_FORMAT(string_index, first) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, string_index, first)))
#elif defined(__GNUC__)
#define ARTPEEL_PRINTF_FORMAT(string_index, first) \
  __attribute__((format(printf, string_index, first)))
#else
#define ARTPEEL_PRINTF_FORMAT(string_index, first)
#endif

namespace artpeel {

// Prints whole lines to the report with a printf format.
void PrintReport(const char* format, ...) ARTPEEL_PRINTF_FORMAT(1, 2);

// Writes out the report. True when the whole report was written; otherwise
// `error_code` holds the system's code for the first write that failed.
bool FinishReport(std::uint32_t& error_code);

}  // namespace artpeel
