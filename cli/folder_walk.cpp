#include "cli/folder_walk.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

// Walks the subfolders of the folder at `path`, whose entries are `listing`.
// `path` is extended and cut back in place, so the whole walk shares one buffer.
// `walk_path` holds the folders from the named one down to this one: a link that
// leads back to one of them is not entered again.
void WalkSubfolders(std::string& path, const platform::FolderListing& listing,
                    std::vector<platform::FolderId>& walk_path) {
  platform::FolderListing subfolder;
  for (const platform::FolderEntry& entry : listing.entries) {
    if (!entry.is_folder) continue;
    const std::size_t parent_length = PushName(path, listing.NameOf(entry));
    if (CanSearch(path) && platform::ListFolder(path.c_str(), subfolder) &&
        std::find(walk_path.begin(), walk_path.end(), subfolder.id) == walk_path.end()) {
      for (const platform::FolderEntry& file : subfolder.entries) {
        const char* name = subfolder.NameOf(file);
        if (!IsCacheFileName(name)) continue;
        const std::size_t folder_length = PushName(path, name);
        DumpCacheFile(path.c_str());
        path.resize(folder_length);
      }
      walk_path.push_back(subfolder.id);
      WalkSubfolders(path, subfolder, walk_path);
      walk_path.pop_back();
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
  std::string path = platform::AbsolutePath(folder);
  platform::FolderListing listing;
  if (!platform::ListFolder(path.c_str(), listing)) return;
  std::vector<platform::FolderId> walk_path{listing.id};
  WalkSubfolders(path, listing, walk_path);
}

}  // namespace artpeel
