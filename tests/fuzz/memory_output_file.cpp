// Stands in for the platform's image-writer file at link time, so it defines
// every function that file defines; the rest of the platform layer is linked
// unchanged. A function that serves only real files (such as one that sets up
// the removal of a temporary file) is defined here to do nothing.
#include "tests/fuzz/memory_output_file.h"

#include <cstdio>

#include "platform/run_ending_posix.h"
#include "platform/run_output.h"

namespace artpeel {

namespace fuzzing {

std::vector<WriterCall>& WriterCalls() {
  static std::vector<WriterCall> calls;
  return calls;
}

std::string& ReportLines() {
  static std::string report;
  return report;
}

}  // namespace fuzzing

namespace platform {

// Answers by the image's size, so that inputs reach the report lines of failed
// creates and failed writes as well as those of written images.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t /*source_handle*/, std::uint64_t /*source_offset*/,
                               std::string_view written_line) {
  const WriteStatus status = size % 8 == 5   ? WriteStatus::kCreateFailed
                             : size % 8 == 6 ? WriteStatus::kWriteFailed
                                             : WriteStatus::kWritten;
  fuzzing::WriterCall& call = fuzzing::WriterCalls().emplace_back();
  std::snprintf(call.name, sizeof call.name, "%s", name);
  call.data = data;
  call.size = size;
  call.status = status;
  if (status == WriteStatus::kWritten) fuzzing::ReportLines() += written_line;
  return status;
}

void AddToReport(std::string_view lines) { fuzzing::ReportLines() += lines; }
std::uint32_t FlushReport() { return 0; }
void SetEndingSummary(void (*/*draw*/)(void* context), void* /*context*/) {}

// No temporary file is ever made, so there is nothing to clean up.
void InstallInterruptCleanup() {}
bool ShareEndingNotesWithSupervisor() { return false; }
void NoteSupervisor(pid_t /*supervisor*/) {}
bool ClaimRunEnding(int /*signal_number*/) { return true; }
int ClaimedEndingSignal() { return 0; }
bool RunCleanedUp() { return false; }
const char* TemporaryNameOfRun() { return nullptr; }
bool RunFinished(int& /*status*/) { return false; }
void NoteRunFinished(int /*status*/) {}

}  // namespace platform

}  // namespace artpeel
