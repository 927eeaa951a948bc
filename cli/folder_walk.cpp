#include "cli/folder_walk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_reader.h"
#include "cli/look_ahead.h"
#include "cli/progress.h"
#include "platform/platform.h"

namespace artpeel {

namespace {

// The walk's diagnostics go to standard error, one line each, beside the report,
// each on a line of its own where a progress line is shown.
void ReportUnreadableFolder(const char* folder, std::uint32_t error_code, Progress& progress) {
  ClearProgress(progress);
  std::fprintf(stderr, "artpeel: cannot read folder '%s': %s\n", folder,
               platform::ErrorMessage(error_code).c_str());
}

// Appends a separator and `name` to `path`; returns the length to cut it back to.
std::size_t PushName(std::string& path, const char* name) {
  const std::size_t previous = path.size();
  path += platform::kPathSeparator;
  path += name;
  return previous;
}

// The folders of one volume walked so far, by index, in an open-addressing
// table of 8-byte slots kept at most half full (0 marks a free slot, so the
// index 0 is kept apart): 16 to 32 bytes a folder, and no allocation of its own.
struct VolumeFolders {
  std::uint64_t volume = 0;
  std::vector<std::uint64_t> slots;
  std::size_t used = 0;
  bool holds_index_zero = false;
};

// Adds `index` to `folders`; false when it is there already.
bool Add(VolumeFolders& folders, std::uint64_t index) {
  if (index == 0) return !std::exchange(folders.holds_index_zero, true);
  if (2 * (folders.used + 1) > folders.slots.size()) {
    const std::size_t size = folders.slots.empty() ? 1024 : 2 * folders.slots.size();
    const std::vector<std::uint64_t> previous =
        std::exchange(folders.slots, std::vector<std::uint64_t>(size));
    folders.used = 0;
    for (const std::uint64_t kept : previous) {
      if (kept != 0) Add(folders, kept);
    }
  }
  const std::size_t mask = folders.slots.size() - 1;
  // Indexes are often consecutive: multiplying spreads them over the table.
  for (auto slot = static_cast<std::size_t>((index * 0x9E3779B97F4A7C15u) >> 32) & mask;;
       slot = (slot + 1) & mask) {
    if (folders.slots[slot] == index) return false;
    if (folders.slots[slot] == 0) {
      folders.slots[slot] = index;
      ++folders.used;
      return true;
    }
  }
}

// Adds `id` to the folders walked; false when it is there already.
bool AddWalked(std::vector<VolumeFolders>& walked, const platform::FolderId& id) {
  for (VolumeFolders& volume : walked) {
    if (volume.volume == id.volume) return Add(volume, id.index);
  }
  walked.emplace_back().volume = id.volume;
  return Add(walked.back(), id.index);
}

// What the walk carries down: the path of the folder in hand, extended and cut
// back in place so the whole walk shares one buffer; the look-ahead, which
// lists each folder and opens each cache file for it; the ids of every folder
// walked so far (links, and mounts, can lead to one folder by many ways, and
// walking it once per way takes time exponential in the links of a tree: a
// folder is walked on its first arrival only); and the run's progress, which
// the dumps count into.
struct Walk {
  Progress* progress = nullptr;
  std::string path;
  LookAheadHandle look_ahead;
  std::vector<VolumeFolders> walked;  // one per volume met
};

// A folder read that failed part way is reported, and what was read is walked.
void ReportPartialListing(const Walk& walk, const char* folder,
                          const platform::FolderListing& listing) {
  if (listing.error_code != 0) ReportUnreadableFolder(folder, listing.error_code, *walk.progress);
}

void DumpCacheFiles(Walk& walk, const platform::FolderListing& listing) {
  std::string& path = walk.path;
  for (const platform::FolderEntry& file : listing.entries) {
    const char* name = listing.NameOf(file);
    if (!IsCacheFileName(name)) continue;
    const std::size_t folder_length = PushName(path, name);
    platform::MappedFile opened = TakeCacheFile(*walk.look_ahead, path);
    DumpOpenedCacheFile(path.c_str(), opened, walk.progress->tally);
    platform::FlushConsoleReport();
    UpdateProgress(*walk.progress);
    path.resize(folder_length);
  }
}

// Walks the subfolders of the folder at `walk.path`, listed in `listing`.
void WalkSubfolders(Walk& walk, const platform::FolderListing& listing) {
  std::string& path = walk.path;
  for (const platform::FolderEntry& entry : listing.entries) {
    if (!entry.is_folder) continue;
    const std::size_t parent_length = PushName(path, listing.NameOf(entry));
    if (!CanSearch(path)) {
      ClearProgress(*walk.progress);
      std::fprintf(stderr,
                   "artpeel: skipped folder '%s': the paths in it would exceed the system's "
                   "limit of %zu characters\n",
                   path.c_str(), platform::MaxPathLength());
    } else {
      bool listed = false;
      const platform::FolderListing& subfolder = EnterFolder(*walk.look_ahead, path, listed);
      if (!listed) {
        ReportUnreadableFolder(path.c_str(), subfolder.error_code, *walk.progress);
      } else if (AddWalked(walk.walked, subfolder.id)) {
        ReportPartialListing(walk, path.c_str(), subfolder);
        DumpCacheFiles(walk, subfolder);
        WalkSubfolders(walk, subfolder);
      }
      LeaveFolder(*walk.look_ahead);
    }
    path.resize(parent_length);
  }
}

}  // namespace

bool IsCacheFileName(const char* name) {
  constexpr char kEnding[] = ".itc2";
  constexpr std::size_t kEndingLength = sizeof kEnding - 1;
  const std::size_t length = std::strlen(name);
  if (length < kEndingLength) return false;
  const char* ending = name + length - kEndingLength;
  for (std::size_t i = 0; i < kEndingLength; ++i) {
    char c = ending[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kEnding[i]) return false;
  }
  return true;
}

bool CanSearch(const std::string& folder) {
  constexpr char kCacheFilePattern[] = "*.itc2";
  return platform::PathLength(folder) + 1 + std::strlen(kCacheFilePattern) <
         platform::MaxPathLength();
}

void DumpFolder(const char* folder, Progress& progress) {
  Walk walk;
  walk.progress = &progress;
  walk.path = platform::AbsolutePath(folder);
  walk.look_ahead = StartLookAhead(walk.path);
  bool listed = false;
  const platform::FolderListing& top = EnterFolder(*walk.look_ahead, walk.path, listed);
  if (!listed) {
    ReportUnreadableFolder(folder, top.error_code, progress);
    return;
  }
  ReportPartialListing(walk, folder, top);
  // Naming the folder that holds the cache files is the likeliest first try.
  std::size_t direct_cache_files = 0;
  for (const platform::FolderEntry& entry : top.entries) {
    if (!entry.is_folder && IsCacheFileName(top.NameOf(entry))) ++direct_cache_files;
  }
  if (direct_cache_files > 0) {
    ClearProgress(progress);
    std::fprintf(stderr,
                 "artpeel: skipped %zu cache file%s directly in '%s': only the folders below a "
                 "named folder are read\n",
                 direct_cache_files, direct_cache_files == 1 ? "" : "s", folder);
  }
  AddWalked(walk.walked, top.id);
  WalkSubfolders(walk, top);
}

}  // namespace artpeel
