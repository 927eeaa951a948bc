#include "cli/folder_walk.h"

#include <cstring>
#include <deque>
#include <string>
#include <unordered_set>

#include "cache/cache_reader.h"
#include "platform/platform.h"

namespace artpeel {

namespace {

constexpr char kCacheFilePattern[] = "*.itc2";

// A folder whose cache-file search pattern (path, separator, "*.itc2") would not
// fit the platform's path limit cannot be searched. Every path below it is longer
// still, so nothing under it can be dumped either and the walk passes it over.
bool CanSearch(const std::string& folder) {
  return folder.size() + 1 + std::strlen(kCacheFilePattern) < platform::MaxPathLength();
}

// Appends a separator and `name` to `path`; returns the length to cut it back to.
std::size_t PushName(std::string& path, const char* name) {
  const std::size_t previous = path.size();
  path += platform::kPathSeparator;
  path += name;
  return previous;
}

struct FolderIdHash {
  std::size_t operator()(const platform::FolderId& id) const noexcept {
    return static_cast<std::size_t>(id.index ^ (id.volume * 0x9E3779B97F4A7C15u));
  }
};

// What the walk carries down: the path of the folder in hand, extended and cut
// back in place so the whole walk shares one buffer; one listing per depth,
// each reused by every folder met at that depth; and the ids of every folder
// walked so far. Links (and mounts) can lead to one folder by many ways, and
// walking it once per way takes time exponential in the links of a tree: a
// folder is walked on its first arrival only, at a cost of a few dozen bytes
// for each folder walked.
struct Walk {
  std::string path;
  std::deque<platform::FolderListing> listings;  // a deque keeps them in place as it grows
  std::unordered_set<platform::FolderId, FolderIdHash> walked;
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
    if (CanSearch(path) && platform::ListFolder(path.c_str(), subfolder) &&
        walk.walked.insert(subfolder.id).second) {
      for (const platform::FolderEntry& file : subfolder.entries) {
        const char* name = subfolder.NameOf(file);
        if (!IsCacheFileName(name)) continue;
        const std::size_t folder_length = PushName(path, name);
        DumpCacheFile(path.c_str());
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

void DumpFolder(const char* folder) {
  Walk walk;
  walk.path = platform::AbsolutePath(folder);
  walk.listings.emplace_back();
  if (!platform::ListFolder(walk.path.c_str(), walk.listings[0])) return;
  walk.walked.insert(walk.listings[0].id);
  WalkSubfolders(walk, 0);
}

}  // namespace artpeel
