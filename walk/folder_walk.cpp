// The walk: it enters each folder below a named one in walk order, passes over
// those it cannot or need not walk, and dumps each cache file it takes from
// the look-ahead. What holds: it is the one thread that reports, dumps and
// writes, in walk order; it walks a folder at most once (by its id); it leaves
// every folder it enters, innermost first (EnteredFolder).
#include "walk/folder_walk.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "cache/cache_reader.h"
#include "platform/platform.h"
#include "walk/look_ahead.h"
#include "walk/walk_order.h"

namespace artpeel {

namespace {

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

// What the walk carries: the look-ahead, from which it takes each folder and
// cache file in turn; the ids of every folder walked so far (links, and
// mounts, can lead to one folder by many ways, and walking it once per way
// takes time exponential in the links of a tree: a folder is walked on its
// first arrival only); and where the dumps are counted and the events told.
struct Walk {
  DumpTally* tally = nullptr;
  const WalkEvents* events = nullptr;
  LookAheadHandle look_ahead;
  std::vector<VolumeFolders> walked;  // one per volume met
};

// A folder read that failed part way is told, and what was read is walked.
void TellPartialListing(const Walk& walk, const char* folder,
                        const platform::FolderListing& listing) {
  if (listing.error_code == 0) return;
  walk.events->folder_unreadable(walk.events->context, folder, listing.error_code);
}

void DumpCacheFiles(Walk& walk) {
  for (CacheFileInHand cache_file; TakeNextCacheFile(*walk.look_ahead, cache_file);) {
    DumpCacheFile(cache_file.path.c_str(), std::move(cache_file.file), *walk.tally);
    platform::FlushConsoleReport();
    walk.events->cache_file_dumped(walk.events->context);
  }
}

// Whether the walk goes into the folder it entered: not past the path limit,
// nor into one it cannot list or has walked before; it tells why not.
bool WalksInto(Walk& walk, const EnteredFolder& folder) {
  const char* path = folder.path->c_str();
  const WalkEvents& events = *walk.events;
  if (folder.beyond_path_limit) {
    events.folder_beyond_path_limit(events.context, path);
  } else if (!folder.listed) {
    events.folder_unreadable(events.context, path, folder.listing->error_code);
  } else if (AddWalked(walk.walked, folder.listing->id)) {
    TellPartialListing(walk, path, *folder.listing);
    return true;
  }
  return false;
}

// Walks the folders below the one the walk is in, depth-first. No recursion:
// however deep the tree, the stack the walk needs stays small (ulimit -s).
// The folders it has gone into are held in `inside`, innermost last, and
// each is left as it goes.
void WalkSubfolders(Walk& walk) {
  std::vector<EnteredFolder> inside;
  for (;;) {
    EnteredFolder folder = EnterNextFolder(*walk.look_ahead);
    if (!folder) {
      if (inside.empty()) return;
      inside.pop_back();
    } else if (WalksInto(walk, folder)) {
      DumpCacheFiles(walk);
      inside.push_back(std::move(folder));
    }
  }
}

// Naming the folder that holds the cache files is the likeliest first try:
// the walk says so.
void TellCacheFilesInNamedFolder(const Walk& walk, const char* folder,
                                 const platform::FolderListing& listing) {
  std::size_t count = 0;
  for (std::size_t entry = NextCacheFileEntry(listing, 0); entry < listing.entries.size();
       entry = NextCacheFileEntry(listing, entry + 1)) {
    if (!listing.entries[entry].is_folder) ++count;
  }
  if (count > 0) walk.events->cache_files_in_named_folder(walk.events->context, folder, count);
}

}  // namespace

void DumpFolder(const char* folder, DumpTally& tally, const WalkEvents& events) {
  Walk walk{&tally, &events, StartLookAhead(platform::AbsolutePath(folder)), {}};
  const EnteredFolder named = EnterNextFolder(*walk.look_ahead);
  if (!named.listed) {
    events.folder_unreadable(events.context, folder, named.listing->error_code);
    return;
  }
  TellPartialListing(walk, folder, *named.listing);
  TellCacheFilesInNamedFolder(walk, folder, *named.listing);
  AddWalked(walk.walked, named.listing->id);
  WalkSubfolders(walk);
}

}  // namespace artpeel
