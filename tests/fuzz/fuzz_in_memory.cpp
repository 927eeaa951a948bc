// libFuzzer target: arbitrary bytes as the contents of one cache file, read and
// exported by the code the tool runs after a file's "Dumping contents" line,
// with the image writer replaced by an in-memory stand-in (memory_output_file.cpp)
// so that an input costs no file system call. The report goes to memory too
// and is checked line by line, and every image handed to the writer is checked
// against its report line and against the input: a wrote-line's count is the
// size handed over, and every image lies inside the input. The reader's tally
// must count the writes as they went.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "cache/cache_reader.h"
#include "platform/platform.h"
#include "tests/fuzz/memory_output_file.h"
#include "tests/fuzz/report_check.h"

namespace {

using artpeel::fuzzing::ExportLine;
using artpeel::fuzzing::Fail;
using artpeel::platform::WriteStatus;

ExportLine::Outcome OutcomeOf(WriteStatus status) {
  switch (status) {
    case WriteStatus::kCreateFailed:
      return ExportLine::Outcome::kCreateFailed;
    case WriteStatus::kWriteFailed:
    case WriteStatus::kSourceCut:  // the in-memory writer's bytes are never cut
      return ExportLine::Outcome::kWriteFailed;
    case WriteStatus::kWritten:
      break;
  }
  return ExportLine::Outcome::kWrote;
}

void CheckWrites(std::string_view report, const std::uint8_t* input, std::size_t input_size,
                 const artpeel::DumpTally& tally) {
  static std::vector<ExportLine> lines;  // kept from input to input, as are the calls
  artpeel::fuzzing::CheckReport(report, &lines);
  const auto& calls = artpeel::fuzzing::WriterCalls();
  if (lines.size() != calls.size()) Fail("export lines and writes differ in number", report);
  artpeel::DumpTally counted;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& call = calls[i];
    if (call.status == WriteStatus::kWritten) {
      ++counted.images_written;
      counted.image_bytes_written += call.size;
    } else {
      ++counted.images_not_written;
    }
    if (call.name != lines[i].name) Fail("an image is reported under another name", report);
    if (OutcomeOf(call.status) != lines[i].outcome) Fail("a write is misreported", report);
    if (lines[i].outcome == ExportLine::Outcome::kWrote && lines[i].size != call.size) {
      Fail("a wrote-line's count is not the size written", report);
    }
    const auto first = reinterpret_cast<std::uintptr_t>(input);
    const auto start = reinterpret_cast<std::uintptr_t>(call.data);
    if (call.size > input_size || start < first || start - first > input_size - call.size) {
      Fail("an image lies outside the input", report);
    }
  }
  if (tally.images_written != counted.images_written ||
      tally.image_bytes_written != counted.image_bytes_written ||
      tally.images_not_written != counted.images_not_written) {
    Fail("the tally does not count the writes", report);
  }
}

}  // namespace

// libFuzzer copies every input into a new allocation. AddressSanitizer's
// default quarantine (256 MiB) keeps freed blocks from being reused for long, so
// each copy would fault in fresh pages, which costs more than reading the
// input. The reader and the export allocate nothing, so a small quarantine
// loses no check of theirs.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string& report = artpeel::fuzzing::ReportLines();
  report.clear();
  artpeel::DumpTally tally;
  artpeel::DumpCacheContents(artpeel::ByteView{data, size}, tally);
  CheckWrites(report, data, size, tally);
  artpeel::fuzzing::WriterCalls().clear();
  // What a helper reads ahead of a file's turn stays inside the file too.
  artpeel::platform::MappedFile ahead;
  ahead.data = data;
  ahead.size = size;
  artpeel::BringHeadersIn(ahead);
  ahead.data = nullptr;  // not a view to give back
  return 0;
}
