#include "cli/folder_walk.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_reader.h"
#include "cli/progress.h"
#include "platform/platform.h"

namespace artpeel {

namespace {

constexpr char kCacheFilePattern[] = "*.itc2";

// A folder whose cache-file search pattern (path, separator, "*.itc2") would not
// fit the platform's path limit cannot be searched. Every path below it is longer
// still, so nothing under it can be dumped either and the walk passes it over.
bool CanSearch(const std::string& folder) {
  return platform::PathLength(folder) + 1 + std::strlen(kCacheFilePattern) <
         platform::MaxPathLength();
}

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

// The cache files the walk has found but not yet dumped, oldest first. Each one
// was handed to the read-ahead request as it joined, so the disk is reading the
// next files while the oldest is dumped; dumps still come in the order the walk
// found the files. Bounded in files and in bytes asked for, so a window of large
// files cannot push the ones in hand out of the cache, and no descriptor is held.
// 32 files keep a disk that serves many requests at once busy (a cache folder
// holds one to three files, so the window reaches across folders); a run on a
// warm library pays some 10 microseconds a file for asking.
struct ReadAheadWindow {
  static constexpr std::size_t kMaxFiles = 32;
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{32} << 20;
  std::array<std::string, kMaxFiles> paths;  // a ring; the strings keep their buffers
  std::array<std::uint64_t, kMaxFiles> bytes_asked;
  std::size_t oldest = 0;
  std::size_t count = 0;
  std::uint64_t total_bytes_asked = 0;
};

void DumpOldest(ReadAheadWindow& window, Progress& progress) {
  DumpCacheFile(window.paths[window.oldest].c_str(), progress.tally);
  platform::FlushConsoleReport();
  UpdateProgress(progress);
  window.total_bytes_asked -= window.bytes_asked[window.oldest];
  window.oldest = (window.oldest + 1) % ReadAheadWindow::kMaxFiles;
  --window.count;
}

// Adds the cache file at `path` to the window, dumping the oldest files first
// while the window is full.
void Enqueue(ReadAheadWindow& window, const std::string& path, Progress& progress) {
  while (window.count == ReadAheadWindow::kMaxFiles ||
         (window.count > 0 && window.total_bytes_asked >= ReadAheadWindow::kMaxBytes)) {
    DumpOldest(window, progress);
  }
  const std::size_t slot = (window.oldest + window.count) % ReadAheadWindow::kMaxFiles;
  window.paths[slot] = path;
  window.bytes_asked[slot] =
      platform::ReadAhead(path.c_str(), ReadAheadWindow::kMaxBytes - window.total_bytes_asked);
  window.total_bytes_asked += window.bytes_asked[slot];
  ++window.count;
}

void DumpAll(ReadAheadWindow& window, Progress& progress) {
  while (window.count > 0) DumpOldest(window, progress);
}

// What the walk carries down: the path of the folder in hand, extended and cut
// back in place so the whole walk shares one buffer; one listing per depth,
// each reused by every folder met at that depth; the ids of every folder
// walked so far (links, and mounts, can lead to one folder by many ways, and
// walking it once per way takes time exponential in the links of a tree: a
// folder is walked on its first arrival only); and the cache files found but
// not yet dumped; and the run's progress, which the dumps count into.
struct Walk {
  Progress* progress = nullptr;
  std::string path;
  ReadAheadWindow window;
  std::deque<platform::FolderListing> listings;  // a deque keeps them in place as it grows
  std::vector<VolumeFolders> walked;  // one per volume met
};

// Walks the subfolders of the folder at `walk.path`, listed in
// `walk.listings[depth]`.
void WalkSubfolders(Walk& walk, std::size_t depth) {
  if (walk.listings.size() == depth + 1) walk.listings.emplace_back();
  const platform::FolderListing& listing = walk.listings[depth];
  platform::FolderListing& subfolder = walk.listings[depth + 1];
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
    } else if (!platform::ListFolder(path.c_str(), subfolder)) {
      ReportUnreadableFolder(path.c_str(), subfolder.error_code, *walk.progress);
    } else if (AddWalked(walk.walked, subfolder.id)) {
      for (const platform::FolderEntry& file : subfolder.entries) {
        const char* name = subfolder.NameOf(file);
        if (!IsCacheFileName(name)) continue;
        const std::size_t folder_length = PushName(path, name);
        Enqueue(walk.window, path, *walk.progress);
        path.resize(folder_length);
      }
      WalkSubfolders(walk, depth + 1);
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

void DumpFolder(const char* folder, Progress& progress) {
  Walk walk;
  walk.progress = &progress;
  walk.path = platform::AbsolutePath(folder);
  walk.listings.emplace_back();
  platform::FolderListing& top = walk.listings[0];
  if (!platform::ListFolder(walk.path.c_str(), top)) {
    ReportUnreadableFolder(folder, top.error_code, progress);
    return;
  }
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
  WalkSubfolders(walk, 0);
  DumpAll(walk.window, progress);
}

}  // namespace artpeel
