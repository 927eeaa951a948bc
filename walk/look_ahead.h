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
// run without. What the helpers have done and the walk has not taken yet is
// held in a window of bounded size (walk/look_ahead_window.h).
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace artpeel {

struct LookAhead;

// The walk's hold on its look-ahead, which stops it when it goes: what was
// done ahead is released, and helpers still in a call to the file system (a
// share that stopped answering) are left to end on their own, without holding
// up the run.
struct LookAheadHandle {
  std::shared_ptr<LookAhead> look_ahead;  // helpers hold shares of their own

  explicit LookAheadHandle(std::shared_ptr<LookAhead> started);
  LookAheadHandle(const LookAheadHandle&) = delete;
  LookAheadHandle& operator=(const LookAheadHandle&) = delete;
  ~LookAheadHandle();
  LookAhead& operator*() const { return *look_ahead; }
};

// Starts looking ahead of a walk of the folder at `path`, made absolute.
LookAheadHandle StartLookAhead(const std::string& path);

// A folder the walk has entered: it leaves it when this goes, whether it
// walked it or passed it over. At the start the named folder itself is
// entered, then each subfolder the walk comes to, in walk order.
struct EnteredFolder {
  LookAhead* look_ahead = nullptr;  // null: no folder was left to enter
  const std::string* path = nullptr;
  // Past the path limit (CanSearch): not listed, and nothing below it is taken.
  bool beyond_path_limit = false;
  bool listed = false;  // what platform::ListFolder returned
  const platform::FolderListing* listing = nullptr;

  EnteredFolder() = default;
  EnteredFolder(EnteredFolder&& other) noexcept;
  EnteredFolder& operator=(EnteredFolder&&) = delete;
  ~EnteredFolder();
  explicit operator bool() const { return look_ahead != nullptr; }
};

// Enters the next subfolder, in walk order, of the folder the walk is in; an
// empty EnteredFolder when it has none left.
EnteredFolder EnterNextFolder(LookAhead& look_ahead);

// A cache file the walk dumps, opened and mapped at its turn
// (platform::OpenFileReadOnly, MapOpenedFile), or the failure of either.
struct CacheFileInHand {
  std::string path;
  bool listed_as_file = false;  // a regular file by its folder's listing
  platform::MappedFile file;
};

// Takes the next cache file, in walk order, of the folder the walk is in;
// false when it has none left. All of a folder's cache files come before its
// subfolders.
bool TakeNextCacheFile(LookAhead& look_ahead, CacheFileInHand& cache_file);

}  // namespace artpeel
