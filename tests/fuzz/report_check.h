// The fuzz targets' oracle for the report of one cache file: everything the
// reader prints after the file's "Dumping contents" line. It knows the lines the
// tool may print and the order they may come in, and hands back the lines about
// written images so that a target can hold them against what was written.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace artpeel::fuzzing {

struct ExportLine {
  enum class Outcome { kWrote, kCreateFailed, kWriteFailed };
  std::int64_t index = 0;
  Outcome outcome = Outcome::kWrote;
  std::string_view name;  // a part of the report
  std::uint64_t size = 0;  // the count a wrote-line reports
};

// Checks `report` line by line: every line is one the tool prints, item lines
// carry the records' indexes in order (1, 2, 3, ... each record at least one
// line), an image's name carries its record's index and the extension of its
// format, and a line that ends the walk of the file is the last. Puts the
// export lines in `exports`, in order; on the first fault, prints it with the
// report and aborts.
void CheckReport(std::string_view report, std::vector<ExportLine>* exports);

// Prints `what` and the report to standard error and aborts, which libFuzzer
// records as a crash with the input that caused it.
[[noreturn]] void Fail(std::string_view what, std::string_view report);

}  // namespace artpeel::fuzzing
