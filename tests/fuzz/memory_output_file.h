// An in-memory stand-in for the platform's image writer and report, linked
// into the fast fuzz target in place of their own files: it keeps a record of
// every image handed to it instead of writing a file, and the report in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cache/image_export.h"
#include "platform/platform.h"

namespace artpeel::fuzzing {

struct WriterCall {
  char name[kOutputNameCapacity];  // cut short, and so told apart, if it would not fit
  const unsigned char* data;
  std::uint64_t size;
  platform::WriteStatus status;  // what the stand-in answered
};

// The calls since the list was last cleared, in order.
std::vector<WriterCall>& WriterCalls();

// The report's lines since it was last cleared.
std::string& ReportLines();

}  // namespace artpeel::fuzzing
