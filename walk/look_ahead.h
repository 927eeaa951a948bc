// The look-ahead of a walk: helper threads that list the folders and open the
// cache files the walk will come to next, so that the walk finds them ready.
// On a share every open and every listing is a round trip, and on a disk that
// serves many requests at once a lone reader leaves it idle; the helpers keep
// many of them under way while the walk works through what they have done.
// Eight start; on a far share, where they fall behind, more do.
//
// The walk takes every folder and cache file from here, in the walk's order
// (walk/walk_order.h), and decides, reports and dumps everything itself, on
// its own thread. What no helper has done yet when the walk comes to it, the
// walk does itself, as it would without helpers; so a run with helpers takes
// the same folders and files, in the same order, with the same results, as a
// run without.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace artpeel {

struct LookAhead;

struct StopLookAhead {
  void operator()(LookAhead* look_ahead) const;
};
using LookAheadHandle = std::unique_ptr<LookAhead, StopLookAhead>;

// Starts looking ahead of a walk of the folder at `path`, made absolute.
// Stopped when the handle goes: what was opened ahead is closed, and helpers
// still in a call to the file system (a share that stopped answering) are
// left to end on their own, without holding up the run.
LookAheadHandle StartLookAhead(const std::string& path);

// A folder the walk has entered, valid until it leaves it.
struct EnteredFolder {
  const std::string* path = nullptr;
  // Past the path limit (CanSearch): not listed, and nothing below it is taken.
  bool beyond_path_limit = false;
  bool listed = false;  // what platform::ListFolder returned
  const platform::FolderListing* listing = nullptr;
};

// Enters the next subfolder, in walk order, of the folder the walk is in: at
// the start the named folder itself, then each subfolder the walk comes to.
// False when the folder has none left. Every folder entered is left again
// with LeaveFolder, whether the walk walks it or passes over it.
bool EnterNextFolder(LookAhead& look_ahead, EnteredFolder& folder);

// A cache file the walk dumps: its path, valid until the next call here, and
// the file as platform::OpenFileReadOnly opened it (or its failure). The
// caller releases the file.
struct CacheFileInHand {
  const std::string* path = nullptr;
  platform::MappedFile file;
};

// Takes the next cache file, in walk order, of the folder the walk is in;
// false when it has none left. All of a folder's cache files come before its
// subfolders.
bool TakeNextCacheFile(LookAhead& look_ahead, CacheFileInHand& cache_file);

// The walk is done with the folder it entered last: what was looked ahead
// below it and not taken is let go.
void LeaveFolder(LookAhead& look_ahead);

}  // namespace artpeel
