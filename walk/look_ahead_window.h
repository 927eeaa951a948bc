// The look-ahead's window: the tasks ahead of the walk (folders to list, cache
// files to open) in walk order, and what they hold. No threads and no lock
// here: the helper pool (walk/look_ahead.cpp) calls each operation under its
// lock and does the tasks themselves outside it.
//
// What always holds (CheckWindow asserts it after every change, in builds
// without NDEBUG):
// - The tasks form a tree in walk order below the folders the walk is in
//   (`entered`): a listed folder's cache files, then its subfolders, as far as
//   its cursors have looked through its listing (or the part of it handed in),
//   the walk's next at the front.
// - Every task ahead is charged by its state: waiting, one file or folder;
//   started, the descriptors its call holds besides (and the folder it opens
//   in, which it keeps open, and the first part of a listing read in parts);
//   done, a file's open descriptor and the bytes asked into the cache, or a
//   folder's listing (and the folder itself, while it is held open for the
//   opens in it); left to the walk, one file or folder. What the walk has
//   entered or taken is its own and charged nothing, but while a helper is
//   still on it, and for a folder held open.
// - `held` is the sum of the charges and within `budget` in each of the five
//   measures: a charge grows only when it fits. So the tree holds at most
//   budget.files + budget.folders tasks, however wide a folder is.
// - A folder `settled` is listed, every task of its listing is made, and every
//   subfolder task below it is settled: nothing below it waits to start.
// - Only the helper on a started task touches its result until it hands it
//   in. A started task the walk drops waits in `dropped` for that; any other
//   is released at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace artpeel {

// A helper at work holds at most this many descriptors: a cache file it opens
// (by its path first, on POSIX, where the listing does not vouch for it), or a
// folder it lists.
inline constexpr std::size_t kDescriptorsPerHelper = 2;

// A folder listed and kept open (platform::ListFolder's keep_open), so that
// the tasks below it open by their names in it: on a share the folders above
// are not looked up again, each a round trip once the share's cache of them
// has expired. Shared by the folder's task while tasks may still be made in
// it and by each task started in it until it hands in; closed by the last.
struct HeldFolder {
  std::intptr_t handle;
  explicit HeldFolder(std::intptr_t open) : handle(open) {}
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  ~HeldFolder() { platform::CloseFolder(handle); }
};

// What the look-ahead holds, or may hold, at once: the window's five measures.
struct Holdings {
  std::size_t descriptors = 0;
  std::size_t files = 0;         // cache files ahead, in any state
  std::uint64_t file_bytes = 0;  // asked into the system's cache for them
  std::size_t folders = 0;       // folders ahead, in any state
  std::uint64_t listing_bytes = 0;
  bool operator==(const Holdings&) const = default;
};

enum class TaskState {
  kWaiting,        // nobody has started it
  kStarted,        // a helper is on it, or the walk on a folder it entered
  kDone,           // its result is handed in
  kLeftToTheWalk,  // failed ahead in a way that may pass: the walk does it
  kDropped,        // dropped while started: released once handed in
};

struct FileTask {
  std::string path;
  std::size_t entry = 0;        // in its folder's listing
  bool listed_as_file = false;  // a regular file by that listing's word
  TaskState state = TaskState::kWaiting;
  Holdings charge;
  std::shared_ptr<const HeldFolder> in_folder;  // while started, where it is held
  platform::MappedFile file;
};

struct FolderTask {
  std::string path;
  std::size_t entry = 0;
  bool plain = false;  // a folder by its folder's listing, not a link
  bool named_on_command_line = false;  // its own cache files are not dumped
  bool beyond_path_limit = false;      // not listed, and passed over
  TaskState state = TaskState::kWaiting;
  Holdings charge;
  std::shared_ptr<const HeldFolder> in_folder;  // while started, where it is held
  bool listed = false;  // what platform::ListFolder returned
  platform::FolderListing listing;
  // Its helper handed in the first part of its listing and reads the rest:
  // tasks are made from that part meanwhile.
  bool listing_in_part = false;
  std::shared_ptr<const HeldFolder> held;  // itself, while tasks may be made in it
  // The listing's entries looked through so far for cache files, and for
  // subfolders; the tasks for them that the walk has not taken, in order.
  std::size_t next_file_entry = 0;
  std::size_t next_subfolder_entry = 0;
  std::vector<std::unique_ptr<FileTask>> files;
  std::vector<std::unique_ptr<FolderTask>> subfolders;
  // Every task below it made and none waiting to start: the helpers' search
  // passes it by, until the walk drops what it made (and makes it again).
  bool settled = false;
};

struct Window {
  Holdings budget;
  Holdings held;
  bool opens_held_off = false;  // no file is opened ahead meanwhile
  std::size_t files_being_opened = 0;
  // The folders the walk is in, outermost first. The first is no folder of
  // the file system: it holds the named folder as its one subfolder.
  std::vector<std::unique_ptr<FolderTask>> entered;
  std::unique_ptr<FileTask> file_in_hand;  // the walk's last taken
  std::vector<std::unique_ptr<FileTask>> dropped_files;
  std::vector<std::unique_ptr<FolderTask>> dropped_folders;
  mutable std::size_t changes_unchecked = 0;  // CheckWindow's, deep down a chain
};

// The budget of a look-ahead that may hold `descriptors` and take
// `address_space` bytes for its listings, while few helpers are at work.
Holdings WindowBudget(std::size_t descriptors, std::uint64_t address_space);

// Lets the window reach as far as `helpers` helpers keep busy: more folders
// and cache files ahead, within the descriptors and bytes of its budget. A
// budget only grows.
void ReachFurther(Window& window, std::size_t helpers);

// Sets `window` up ahead of a walk of the folder at `path`.
void OpenWindow(Window& window, const std::string& path, const Holdings& budget);

// ---- For the helpers -------------------------------------------------------

struct StartedTask {
  FolderTask* folder = nullptr;  // one of the two
  FileTask* file = nullptr;
};

// Finds the first task in walk order that a helper may start within the
// budget (the window adds none it could not start), charges it and marks it
// started.
bool StartNextTask(Window& window, StartedTask& task);

// Charges the bytes an opened file's helper asks into the cache: as many as
// the window has left, up to a share per file; returns how many.
std::uint64_t ChargeFileBytes(Window& window, FileTask& task, std::uint64_t size);

// A helper that reads a listing in parts hands in the first, where it fits
// the budget (true): tasks are made from it while the helper reads the rest.
bool HandInFirstPart(Window& window, FolderTask& folder);

// A helper hands in what ListFolder returned, its listing in `folder.listing`
// (and the `rest` of one whose first part it handed in) and the folder, kept
// open, in its handle: held while it fits the budget and tasks may be made in
// it, closed otherwise.
void HandInListing(Window& window, FolderTask& folder, bool listed,
                   const platform::FolderListing* rest = nullptr);

// A helper hands in the file it opened, `bytes_asked` of it asked into the cache.
void HandInOpenedFile(Window& window, FileTask& task, platform::MappedFile file,
                      std::uint64_t bytes_asked);

// ---- For the walk -----------------------------------------------------------

// Enters the next subfolder, in walk order, of the folder the walk is in;
// null when it has none left.
FolderTask* EnterNextFolder(Window& window);

// The walk takes over the folder it entered once no helper is on it: its
// listing is the walk's. True when the walk lists it itself, marked started
// meanwhile.
bool TakeOverFolder(Window& window, FolderTask& folder);
void FolderListedByTheWalk(Window& window, FolderTask& folder, bool listed,
                           const platform::FolderListing* rest = nullptr);

// The folder held open that holds the folder the walk entered last, for the
// walk's own listing of it, and the one that holds a file the walk takes, for
// its own open of it; null where none is, or the name there would not reach
// what the path reaches.
std::shared_ptr<const HeldFolder> FolderAboveTheWalk(const Window& window);
std::shared_ptr<const HeldFolder> FolderOfTheWalk(const Window& window, const FileTask& file);

// Takes the next cache file, in walk order, of the folder the walk is in, as
// `file_in_hand`; null when it has none left.
FileTask* TakeNextFile(Window& window);

// The walk takes over the file in hand once no helper is on it; true when the
// walk opens it itself.
bool TakeOverFile(Window& window, FileTask& file);

// The walk is done with the folder it entered last: all below it is dropped.
void LeaveFolder(Window& window);

// Lets go of every cache file ahead, or of every task ahead: they are added
// again later, or done by the walk at their turn.
void DropFilesAhead(Window& window);
void DropAhead(Window& window);

// Lets go of everything, the folders the walk is in included.
void DropEverything(Window& window);

// Asserts what always holds; compiled out with NDEBUG.
void CheckWindow(const Window& window);

}  // namespace artpeel
