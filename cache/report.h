// The report on standard output, and the tally of what it reports. Every
// report line goes through PrintReport into the platform's report
// (platform::AddToReport), which notes why the first write that failed did,
// so that the run can say so once, at its end, while the extraction goes on.
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

// What the dumps of a run have done so far, counted for the progress line and
// the closing summary on a terminal. The report says the same line by line.
struct DumpTally {
  std::uint64_t cache_files_read = 0;      // mapped and read, to their end or not
  std::uint64_t cache_files_not_read = 0;  // could not be opened or mapped
  std::uint64_t images_written = 0;
  std::uint64_t image_bytes_written = 0;
  std::uint64_t images_not_written = 0;  // could not be created or written
};

// Writes out the report. True when the whole report was written; otherwise
// `error_code` holds the system's code for the first write that failed.
bool FinishReport(std::uint32_t& error_code);

}  // namespace artpeel
