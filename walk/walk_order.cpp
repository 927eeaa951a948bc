// The walk's rules of walk_order.h: which entries of a listing the walk takes,
// and how it names them. They hold no state of their own.
#include "walk/walk_order.h"

#include <cstring>

namespace artpeel {

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

std::size_t NextCacheFileEntry(const platform::FolderListing& listing, std::size_t from) {
  while (from < listing.entries.size() && !IsCacheFileName(listing.NameOf(listing.entries[from]))) {
    ++from;
  }
  return from;
}

std::size_t NextSubfolderEntry(const platform::FolderListing& listing, std::size_t from) {
  while (from < listing.entries.size() && !listing.entries[from].is_folder) ++from;
  return from;
}

std::string PathIn(const std::string& folder, const char* name) {
  std::string path;
  path.reserve(folder.size() + 1 + std::strlen(name));
  path += folder;
  path += platform::kPathSeparator;
  path += name;
  return path;
}

}  // namespace artpeel
