// libFuzzer target: arbitrary bytes as the contents of one cache file, read and
// exported by the code the tool runs after a file's "Dumping contents" line.
//
// The images land in a temporary folder, made the current one while an input
// runs (libFuzzer's own relative paths keep their meaning in between; give it
// an absolute -artifact_prefix, as a crash is saved from inside a run), and
// emptied after every input. The report goes to a file beside it, is checked
// line by line (report_check.h) and against what was written: every image
// reported as written is there with the reported size (a later one of the same
// name replaces it), nothing else is, and no temporary file is left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <stdlib.h>  // mkdtemp

#include "cache/cache_reader.h"
#include "platform/platform.h"
#include "tests/fuzz/report_check.h"

namespace fs = std::filesystem;

namespace {

using artpeel::fuzzing::ExportLine;
using artpeel::fuzzing::Fail;

fs::path fuzzer_folder;  // the current folder between runs
fs::path work_folder;    // holds the two below
fs::path output_folder;  // the current folder during a run
fs::path report_path;

void RemoveWorkFolder() {
  std::error_code ignored;
  fs::remove_all(work_folder, ignored);
}

std::string ReadReport() {
  artpeel::platform::FlushReport();
  std::string report;
  if (std::FILE* in = std::fopen(report_path.c_str(), "rb")) {
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
      report.append(buffer, got);
    }
    std::fclose(in);
  }
  return report;
}

// The size each reported image must have, by name: the last wrote-line of a
// name counts, since a later image of that name replaces the earlier file and a
// failed one leaves it alone.
std::map<std::string, std::uintmax_t> ReportedImages(const std::string& report) {
  std::vector<ExportLine> lines;
  artpeel::fuzzing::CheckReport(report, &lines);
  std::map<std::string, std::uintmax_t> images;
  for (const ExportLine& line : lines) {
    if (line.outcome == ExportLine::Outcome::kWrote) images[std::string(line.name)] = line.size;
  }
  return images;
}

void CheckAndClearOutputs(const std::string& report) {
  std::map<std::string, std::uintmax_t> expected = ReportedImages(report);
  for (const fs::directory_entry& entry : fs::directory_iterator(output_folder)) {
    const std::string name = entry.path().filename().string();
    const auto image = expected.find(name);
    if (image == expected.end()) Fail("file not reported as written: " + name, report);
    if (entry.file_size() != image->second) Fail("file of the wrong size: " + name, report);
    expected.erase(image);
    fs::remove(entry.path());
  }
  if (!expected.empty()) Fail("file reported as written is missing: " + expected.begin()->first,
                              report);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string pattern = (fs::temp_directory_path() / "artpeel-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  work_folder = pattern;
  output_folder = work_folder / "out";
  report_path = work_folder / "report.txt";
  fs::create_directory(output_folder);
  fuzzer_folder = fs::current_path();
  std::atexit(RemoveWorkFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (std::freopen(report_path.c_str(), "w", stdout) == nullptr) std::abort();
  fs::current_path(output_folder);
  artpeel::DumpTally tally;
  artpeel::DumpCacheContents(artpeel::ByteView{data, size}, tally);
  CheckAndClearOutputs(ReadReport());
  fs::current_path(fuzzer_folder);
  return 0;
}
