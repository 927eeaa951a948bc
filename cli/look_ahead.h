// The look-ahead of a walk: a few helper threads that list the folders and
// open the cache files the walk will come to next, so that the walk finds them
// ready. On a share every open and every listing is a round trip, and on a
// disk that serves many requests at once a lone reader leaves it idle; the
// helpers keep many of them under way while the walk works through what they
// have done.
//
// The walk decides and reports everything, in its own order, on its own
// thread: it enters folders, takes cache files and leaves folders here instead
// of listing and opening them itself. The look-ahead only guesses ahead of it
// from the listings it has made: the same folders, cache files and order the
// walk will take, and what it guessed wrong (a folder the walk passes over) is
// let go unread.
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
// Stopped when the handle goes: every helper has then ended and everything
// opened ahead is closed.
LookAheadHandle StartLookAhead(const std::string& path);

// The walk enters the folder at `path`: the named folder first, then each
// subfolder the walk comes to, in its order. Returns the folder's listing, as
// platform::ListFolder makes it, and sets `listed` to what ListFolder
// returned. The listing is the walk's until it leaves the folder.
const platform::FolderListing& EnterFolder(LookAhead& look_ahead, const std::string& path,
                                           bool& listed);

// The cache file at `path`, the next one the walk dumps from the folder it is
// in, opened as platform::OpenFileReadOnly opens it, with its failure if the
// open failed. The caller releases it.
platform::MappedFile TakeCacheFile(LookAhead& look_ahead, const std::string& path);

// The walk is done with the folder it entered last, whether it walked it or
// passed over it: what was looked ahead below it and not taken is let go.
void LeaveFolder(LookAhead& look_ahead);

}  // namespace artpeel
