// The folder walk: finds the cache files below a folder and hands each to the
// reader, telling the command line what it meets beside the report.
#pragma once

#include <cstddef>
#include <cstdint>

namespace artpeel {

struct DumpTally;

// What the walk meets that the report does not show, told as it happens, on
// the walk's thread, to whoever runs the walk (the command line shows it on
// standard error and the progress line). `context` is handed back to each.
struct WalkEvents {
  void* context = nullptr;
  // A folder that cannot be listed, or whose listing stopped part way (what
  // was listed is walked), with the system's code.
  void (*folder_unreadable)(void* context, const char* folder, std::uint32_t error_code);
  // A folder passed over: the paths in it would exceed the system's limit.
  void (*folder_beyond_path_limit)(void* context, const char* folder);
  // Cache files directly in a named folder, which are not dumped.
  void (*cache_files_in_named_folder)(void* context, const char* folder, std::size_t count);
  // A cache file has been dumped, and counted in the tally.
  void (*cache_file_dumped)(void* context);
};

// Walks every folder below `folder`, depth-first in the platform's listing order.
// For each subfolder it first dumps the cache files directly in it, then walks
// it. A folder that links lead to by several ways is walked once, on the first
// way the walk takes to it. Cache files directly in `folder` itself are not
// dumped. Adds nothing to the report but the dumps', which it counts in
// `tally`; what else it meets it tells `events`.
void DumpFolder(const char* folder, DumpTally& tally, const WalkEvents& events);

}  // namespace artpeel
