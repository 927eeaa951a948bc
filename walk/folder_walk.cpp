#include "walk/folder_walk.h"

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "cache/cache_reader.h"
#include "cli/progress.h"
#include "platform/platform.h"
#include "walk/look_ahead.h"
#include "walk/walk_order.h"

namespace artpeel {

namespace {

// The walk's diagnostics go to standard error, one line each, beside the report,
// each on a line of its own where a progress line is shown.
void ReportUnreadableFolder(const char* folder, std::uint32_t error_code, Progress& progress) {
  ClearProgress(progress);
  std::fprintf(stderr, "artpeel: cannot read folder '%s': %s\n", folder,
               platform::ErrorMessage(error_code).c_str());
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

// What the walk carries down: the look-ahead, from which it takes each folder
// and cache file in turn; the ids of every folder walked so far (links, and
// mounts, can lead to one folder by many ways, and walking it once per way
// takes time exponential in the links of a tree: a folder is walked on its
// first arrival only); and the run's progress, which the dumps count into.
struct Walk {
  Progress* progress = nullptr;
  LookAheadHandle look_ahead;
  std::vector<VolumeFolders> walked;  // one per volume met
};

// A folder read that failed part way is reported, and what was read is walked.
void ReportPartialListing(const Walk& walk, const char* folder,
                          const platform::FolderListing& listing) {
  if (listing.error_code != 0) ReportUnreadableFolder(folder, listing.error_code, *walk.progress);
}

void DumpCacheFiles(Walk& walk) {
  for (CacheFileInHand cache_file; TakeNextCacheFile(*walk.look_ahead, cache_file);) {
    DumpCacheFile(cache_file.path->c_str(), cache_file.file, walk.progress->tally);
    platform::FlushConsoleReport();
    UpdateProgress(*walk.progress);
  }
}

// Walks the subfolders of the folder the walk is in.
void WalkSubfolders(Walk& walk) {
  for (EnteredFolder folder; EnterNextFolder(*walk.look_ahead, folder);) {
    const char* path = folder.path->c_str();
    if (folder.beyond_path_limit) {
      ClearProgress(*walk.progress);
      std::fprintf(stderr,
                   "artpeel: skipped folder '%s': the paths in it would exceed the system's "
                   "limit of %zu characters\n",
                   path, platform::MaxPathLength());
    } else if (!folder.listed) {
      ReportUnreadableFolder(path, folder.listing->error_code, *walk.progress);
    } else if (AddWalked(walk.walked, folder.listing->id)) {
      ReportPartialListing(walk, path, *folder.listing);
      DumpCacheFiles(walk);
      WalkSubfolders(walk);
    }
    LeaveFolder(*walk.look_ahead);
  }
}

}  // namespace

void DumpFolder(const char* folder, Progress& progress) {
  Walk walk;
  walk.progress = &progress;
  walk.look_ahead = StartLookAhead(platform::AbsolutePath(folder));
  EnteredFolder top;
  EnterNextFolder(*walk.look_ahead, top);
  if (!top.listed) {
    ReportUnreadableFolder(folder, top.listing->error_code, progress);
    return;
  }
  const platform::FolderListing& listing = *top.listing;
  ReportPartialListing(walk, folder, listing);
  // Naming the folder that holds the cache files is the likeliest first try.
  std::size_t direct_cache_files = 0;
  for (std::size_t entry = NextCacheFileEntry(listing, 0); entry < listing.entries.size();
       entry = NextCacheFileEntry(listing, entry + 1)) {
    if (!listing.entries[entry].is_folder) ++direct_cache_files;
  }
  if (direct_cache_files > 0) {
    ClearProgress(progress);
    std::fprintf(stderr,
                 "artpeel: skipped %zu cache file%s directly in '%s': only the folders below a "
                 "named folder are read\n",
                 direct_cache_files, direct_cache_files == 1 ? "" : "s", folder);
  }
  AddWalked(walk.walked, listing.id);
  WalkSubfolders(walk);
}

}  // namespace artpeel
