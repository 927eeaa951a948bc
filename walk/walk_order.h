// The walk's rules: which entries of a folder it takes, and in which order.
// The walk and its look-ahead both go by these, so that what the look-ahead
// prepares is what the walk takes.
//
// In a folder the walk enters, it first dumps the cache files, then enters the
// subfolders, each in the order the folder's listing gives them; the named
// folder's own cache files are not dumped. A folder that links lead to by
// several ways is walked on the first way only; that the walk decides itself,
// once it has the folder's listing and with it the folder's id.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace artpeel {

// True for names ending in ".itc2", in any letter case.
bool IsCacheFileName(const char* name);

// False for a folder whose cache-file search pattern (path, separator,
// "*.itc2") would not fit the platform's path limit: it cannot be searched.
// Every path below it is longer still, so nothing under it can be dumped
// either, and the walk passes it over.
bool CanSearch(const std::string& folder);

// The index of the first entry at or after `from` in `listing` that the walk
// dumps as a cache file (a folder with such a name included: it fails to open
// and says so), or the number of entries when there is none.
std::size_t NextCacheFileEntry(const platform::FolderListing& listing, std::size_t from);

// The same for the entries the walk enters as subfolders: every folder, links
// to folders included.
std::size_t NextSubfolderEntry(const platform::FolderListing& listing, std::size_t from);

// `folder`, a separator and `name`.
std::string PathIn(const std::string& folder, const char* name);

}  // namespace artpeel
