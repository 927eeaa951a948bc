// Stands in for the platform's image-writer file at link time, so it defines
// every function that file defines; the rest of the platform layer is linked
// unchanged. A function that serves only real files (such as one that sets up
// the removal of a temporary file) is defined here to do nothing.
#include "tests/fuzz/memory_output_file.h"

#include <cstdio>

namespace artpeel {

namespace fuzzing {

std::vector<WriterCall>& WriterCalls() {
  static std::vector<WriterCall> calls;
  return calls;
}

}  // namespace fuzzing

namespace platform {

// Answers by the image's size, so that inputs reach the report lines of failed
// creates and failed writes as well as those of written images.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t /*source_handle*/, std::uint64_t /*source_offset*/) {
  const WriteStatus status = size % 8 == 5   ? WriteStatus::kCreateFailed
                             : size % 8 == 6 ? WriteStatus::kWriteFailed
                                             : WriteStatus::kWritten;
  fuzzing::WriterCall& call = fuzzing::WriterCalls().emplace_back();
  std::snprintf(call.name, sizeof call.name, "%s", name);
  call.data = data;
  call.size = size;
  call.status = status;
  return status;
}

// No temporary file is ever made, so there is nothing to clean up.
void InstallInterruptCleanup() {}
bool ShareEndingNotesWithSupervisor() { return false; }
bool ClaimRunEnding(int /*signal_number*/) { return true; }
bool RunCleanedUp() { return false; }
const char* TemporaryNameOfRun() { return nullptr; }
bool RunFinished(int& /*status*/) { return false; }
void NoteRunFinished(int /*status*/) {}

}  // namespace platform

}  // namespace artpeel
