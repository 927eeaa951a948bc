// How the look-ahead works.
//
// What the walk will come to is kept as a tree of tasks in walk order: a
// folder to list, whose cache files come next (each one a file to open), then
// its subfolders, each the root of the same again. The tree grows from the
// listings as they are made, one task at a time as far as it is looked at, so
// a folder of 100,000 entries adds only what lies within the window. The walk's
// place in it is the stack of folders it has entered: what comes after that
// place, in walk order, is the look-ahead's window.
//
// A helper looks for the first task in the window that nobody has started,
// marks it started, and does it without the lock: platform::ListFolder for a
// folder, platform::OpenFileReadOnly and ReadIntoCache for a cache file. It
// then files the result in its task. Those calls are the only places where a
// helper blocks on the file system; it holds no lock there and never writes.
// With nothing to do, or the window full, a helper waits on `work_ready`. The
// walk wakes one after every few tasks it takes, or at once when it finds the
// helpers behind it; a helper that finds work while tasks are slow (a round
// trip, a seek) wakes another, so idle helpers join in as far as the file
// system makes them wait, and on a warm cache one or two do it all.
//
// The window is bounded in cache files opened ahead (by count, which bounds
// the descriptors held, and by the bytes asked into the cache) and in folders
// listed ahead (by count and by the size of their listings).
//
// The walk takes the task it needs next: done, it takes the result; started,
// it waits on `task_done` for the helper (where tasks are quick it does the
// next ones itself meanwhile); not started, it does the task itself, so the
// walk never waits for a helper that is busy elsewhere, and runs without
// helpers where none could be started. Every field of the look-ahead and its
// tasks is read and written under its one lock, but a started task's listing
// or file, which only the thread doing the task touches until it is filed.
//
// Tasks the walk will not take (below a folder it passes over, or left when it
// stops) are dropped: a finished one is closed at once; a started one is
// marked, and its helper closes what it opened when it comes back. Stopping
// waits for every helper to come back from the call it is in.
#include "cli/look_ahead.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli/folder_walk.h"

namespace artpeel {

namespace {

// Helpers mostly wait on round trips, not on a processor: enough of them keep
// a share or a disk busy, and each costs only its stack.
constexpr std::size_t kMostHelpers = 8;
// A helper at work holds at most this many descriptors: a folder it lists, or
// a cache file it opens (by its path first, on POSIX).
constexpr std::size_t kDescriptorsPerHelper = 2;
constexpr std::size_t kMostFilesAhead = 64;
constexpr std::uint64_t kMaxBytesAhead = std::uint64_t{32} << 20;
constexpr std::size_t kMaxFoldersAhead = 128;
constexpr std::uint64_t kMaxListingBytesAhead = std::uint64_t{4} << 20;
// Waking a helper is a system call for both sides: the walk wakes one after
// this many tasks taken, when the window has room for that many more.
constexpr std::size_t kTakesPerWake = 16;
// A task that took this long waited for a disk or a share, and more helpers
// help.
constexpr auto kSlowTask = std::chrono::microseconds(200);

enum class TaskState {
  kWaiting,         // nobody has started it
  kStarted,         // a helper, or the walk, is on it
  kDone,            // its result is filed
  kLeftToTheWalk,   // done ahead, it failed in a way that may pass: the walk does it again
};

struct FileTask {
  std::string path;
  TaskState state = TaskState::kWaiting;
  bool dropped = false;  // the walk will not take it
  platform::MappedFile file;
  std::uint64_t bytes_in_cache = 0;  // asked into the cache for it
};

struct FolderTask {
  std::string path;
  bool named = false;  // the named folder, whose own cache files are not dumped
  TaskState state = TaskState::kWaiting;
  bool listed = false;
  platform::FolderListing listing;
  // What the walk takes from the folder once it has entered it: its cache
  // files, then its subfolders, each in listing order, so far as the listing
  // has been looked through for them.
  std::size_t entries_looked_at_for_files = 0;
  std::deque<std::shared_ptr<FileTask>> files;
  std::size_t entries_looked_at_for_folders = 0;
  std::deque<std::shared_ptr<FolderTask>> subfolders;
};

std::uint64_t ListingBytes(const platform::FolderListing& listing) {
  return listing.names.size() + listing.entries.size() * sizeof(platform::FolderEntry);
}

std::string PathIn(const FolderTask& folder, const char* name) {
  std::string path = folder.path;
  path += platform::kPathSeparator;
  path += name;
  return path;
}

// Adds the folder's next cache file to its tasks; false when there is none.
bool AddNextFile(FolderTask& folder) {
  if (folder.named || !folder.listed) return false;
  const platform::FolderListing& listing = folder.listing;
  while (folder.entries_looked_at_for_files < listing.entries.size()) {
    const char* name = listing.NameOf(listing.entries[folder.entries_looked_at_for_files++]);
    if (!IsCacheFileName(name)) continue;
    auto file = std::make_shared<FileTask>();
    file->path = PathIn(folder, name);
    folder.files.push_back(std::move(file));
    return true;
  }
  return false;
}

// Adds the folder's next subfolder that the walk enters to its tasks; false
// when there is none.
bool AddNextSubfolder(FolderTask& folder) {
  if (!folder.listed) return false;
  const platform::FolderListing& listing = folder.listing;
  while (folder.entries_looked_at_for_folders < listing.entries.size()) {
    const platform::FolderEntry& entry = listing.entries[folder.entries_looked_at_for_folders++];
    if (!entry.is_folder) continue;
    std::string path = PathIn(folder, listing.NameOf(entry));
    if (!CanSearch(path)) continue;
    auto subfolder = std::make_shared<FolderTask>();
    subfolder->path = std::move(path);
    folder.subfolders.push_back(std::move(subfolder));
    return true;
  }
  return false;
}

// The first task in the window that nobody has started: a folder or a file.
struct FoundTask {
  std::shared_ptr<FolderTask> folder;
  std::shared_ptr<FileTask> file;
  std::uint64_t bytes_left = 0;  // of the window's bytes, for a file
};

// What the window holds before the place a search has reached.
struct WindowSeen {
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  std::size_t folders = 0;
  std::uint64_t listing_bytes = 0;
};

}  // namespace

struct LookAhead {
  std::mutex mutex;
  std::condition_variable work_ready;  // helpers wait here for work
  std::condition_variable task_done;   // the walk waits here for a helper
  bool stopping = false;
  bool walk_waiting = false;
  std::size_t idle_helpers = 0;
  std::size_t busy_helpers = 0;
  std::size_t files_being_opened = 0;
  bool opens_held_off = false;  // while the walk opens a file it found held
  std::size_t takes_since_wake = 0;
  bool last_task_slow = false;  // the last task any thread finished
  // Folders the walk has left since it last took the lock: let go of at its
  // next call, which saves it a round of the lock for each folder.
  std::size_t folders_left = 0;
  std::size_t max_files_ahead = 0;  // opened or being opened, not yet taken
  // The folders the walk is in, outermost first. The first is no folder of the
  // file system: it holds the named folder as its one subfolder.
  std::vector<std::shared_ptr<FolderTask>> entered;
  std::vector<std::thread> helpers;
};

namespace {

// The lock is held for microseconds at a time: a thread that finds it taken
// tries again for a moment before it sleeps, which costs a system call on each
// side and a wait for the scheduler.
void Acquire(std::unique_lock<std::mutex>& lock) {
  for (int tries = 0; tries < 100; ++tries) {
    if (lock.try_lock()) return;
  }
  lock.lock();
}

// Looks through `folder`'s files and subfolders, in walk order, for the first
// task nobody has started. True when the search ends here: `found` holds a
// task, or the window is full.
bool SearchFolder(LookAhead& look_ahead, FolderTask& folder, WindowSeen& seen, FoundTask& found) {
  for (std::size_t i = 0;; ++i) {
    if (i == folder.files.size() && !AddNextFile(folder)) break;
    if (seen.files >= look_ahead.max_files_ahead || seen.bytes >= kMaxBytesAhead) return true;
    ++seen.files;
    const std::shared_ptr<FileTask>& file = folder.files[i];
    if (file->state == TaskState::kWaiting && !look_ahead.opens_held_off) {
      found.file = file;
      found.bytes_left = kMaxBytesAhead - seen.bytes;
      return true;
    }
    seen.bytes += file->bytes_in_cache;
  }
  for (std::size_t i = 0;; ++i) {
    if (i == folder.subfolders.size() && !AddNextSubfolder(folder)) break;
    if (seen.folders >= kMaxFoldersAhead || seen.listing_bytes >= kMaxListingBytesAhead) {
      return true;
    }
    ++seen.folders;
    const std::shared_ptr<FolderTask>& subfolder = folder.subfolders[i];
    if (subfolder->state == TaskState::kWaiting) {
      found.folder = subfolder;
      return true;
    }
    // A folder still being listed holds what is not known yet: the search goes
    // on past it.
    if (subfolder->state == TaskState::kDone) {
      seen.listing_bytes += ListingBytes(subfolder->listing);
      if (SearchFolder(look_ahead, *subfolder, seen, found)) return true;
    }
  }
  return false;
}

// The first task in the window that nobody has started, marked started.
bool StartNextTask(LookAhead& look_ahead, FoundTask& found) {
  WindowSeen seen;
  for (auto folder = look_ahead.entered.rbegin(); folder != look_ahead.entered.rend(); ++folder) {
    if (SearchFolder(look_ahead, **folder, seen, found)) break;
  }
  if (found.folder != nullptr) {
    found.folder->state = TaskState::kStarted;
    return true;
  }
  if (found.file != nullptr) {
    found.file->state = TaskState::kStarted;
    ++look_ahead.files_being_opened;
    return true;
  }
  return false;
}

// Lets go of everything looked ahead in `folder`: what is done is closed, what
// a helper is on is marked for it to close.
void DropContents(FolderTask& folder) {
  for (const std::shared_ptr<FileTask>& file : folder.files) {
    file->dropped = true;
    if (file->state == TaskState::kDone) platform::ReleaseMappedFile(file->file);
  }
  folder.files.clear();
  // A folder a helper is listing holds nothing yet; its listing goes with the
  // helper's hold on it.
  for (const std::shared_ptr<FolderTask>& subfolder : folder.subfolders) {
    if (subfolder->state == TaskState::kDone) DropContents(*subfolder);
  }
  folder.subfolders.clear();
}

// Opens a cache file and asks its first bytes into the cache: a helper's
// work for a file task, outside the lock.
platform::MappedFile OpenAhead(const std::string& path, std::uint64_t bytes_left,
                               std::uint64_t& bytes_in_cache) {
  platform::MappedFile file = platform::OpenFileReadOnly(path.c_str());
  bytes_in_cache =
      file.status == platform::MapStatus::kOpened ? platform::ReadIntoCache(file, bytes_left) : 0;
  return file;
}

void FileResult(LookAhead& look_ahead, FileTask& task, platform::MappedFile file,
                std::uint64_t bytes_in_cache) {
  if (task.dropped) {
    platform::ReleaseMappedFile(file);
  } else if (file.status == platform::MapStatus::kOpenFailed &&
             platform::OpenMayWorkLater(file.error_code)) {
    task.state = TaskState::kLeftToTheWalk;
  } else {
    task.file = file;
    task.bytes_in_cache = bytes_in_cache;
    task.state = TaskState::kDone;
  }
  if (look_ahead.walk_waiting) look_ahead.task_done.notify_all();
}

// Does a started task without the lock, files its result, and notes whether it
// took long (a round trip, a seek). Called with the lock held, returns with it
// held.
void DoTask(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock, const FoundTask& task) {
  using Clock = std::chrono::steady_clock;
  lock.unlock();
  const Clock::time_point started = Clock::now();
  bool slow = false;
  if (task.folder != nullptr) {
    FolderTask& folder = *task.folder;
    // Nobody else touches a started folder's listing.
    const bool listed = platform::ListFolder(folder.path.c_str(), folder.listing);
    slow = Clock::now() - started > kSlowTask;
    Acquire(lock);
    if (!listed && platform::OpenMayWorkLater(folder.listing.error_code)) {
      folder.state = TaskState::kLeftToTheWalk;
    } else {
      folder.listed = listed;
      folder.state = TaskState::kDone;
    }
    if (look_ahead.walk_waiting) look_ahead.task_done.notify_all();
  } else {
    std::uint64_t bytes_in_cache = 0;
    const platform::MappedFile file = OpenAhead(task.file->path, task.bytes_left, bytes_in_cache);
    slow = Clock::now() - started > kSlowTask;
    Acquire(lock);
    --look_ahead.files_being_opened;
    FileResult(look_ahead, *task.file, file, bytes_in_cache);
  }
  look_ahead.last_task_slow = slow;
}

void RunHelper(LookAhead& look_ahead) {
  std::unique_lock<std::mutex> lock(look_ahead.mutex, std::defer_lock);
  Acquire(lock);
  ++look_ahead.busy_helpers;
  while (!look_ahead.stopping) {
    FoundTask task;
    if (!StartNextTask(look_ahead, task)) {
      --look_ahead.busy_helpers;
      ++look_ahead.idle_helpers;
      look_ahead.work_ready.wait(lock);
      --look_ahead.idle_helpers;
      ++look_ahead.busy_helpers;
      continue;
    }
    if ((look_ahead.last_task_slow || look_ahead.walk_waiting) && look_ahead.idle_helpers > 0) {
      look_ahead.work_ready.notify_one();
    }
    DoTask(look_ahead, lock, task);
  }
  --look_ahead.busy_helpers;
}

// The walk has taken a task: the window has moved on by one. `helpers_behind`
// when the walk found the task not done: an idle helper is woken at once if
// none is at work.
void WindowMoved(LookAhead& look_ahead, bool helpers_behind) {
  if (look_ahead.idle_helpers == 0) return;
  if ((helpers_behind && look_ahead.busy_helpers == 0) ||
      ++look_ahead.takes_since_wake >= kTakesPerWake) {
    look_ahead.takes_since_wake = 0;
    look_ahead.work_ready.notify_one();
  }
}

// Waits, lock held, until a helper has filed the result of the task whose
// state is `state`. Where tasks are quick (a warm cache) the walk meanwhile
// does the next tasks nobody has started, so that every processor lists and
// opens; where they are slow it sleeps rather than take on a round trip of
// its own.
void AwaitHelper(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock,
                 const TaskState& state) {
  for (FoundTask task; state == TaskState::kStarted && !look_ahead.last_task_slow &&
                       StartNextTask(look_ahead, task);
       task = {}) {
    DoTask(look_ahead, lock, task);
  }
  look_ahead.walk_waiting = true;
  look_ahead.task_done.wait(lock, [&] { return state != TaskState::kStarted; });
  look_ahead.walk_waiting = false;
}

// Closes every file opened ahead, to be opened again later: the walk needs a
// file that one of them may be holding (another path to it).
void CloseOpenedFiles(FolderTask& folder) {
  for (const std::shared_ptr<FileTask>& file : folder.files) {
    if (file->state != TaskState::kDone) continue;
    platform::ReleaseMappedFile(file->file);
    file->bytes_in_cache = 0;
    file->state = TaskState::kWaiting;
  }
  for (const std::shared_ptr<FolderTask>& subfolder : folder.subfolders) {
    if (subfolder->state == TaskState::kDone) CloseOpenedFiles(*subfolder);
  }
}

// The walk's own open of a cache file at its turn. An open that fails in a
// way that may pass (another path to the file held by the look-ahead, no
// descriptor left) is made once more after the helpers have stopped opening
// and everything opened ahead is closed: what still fails then is the file's.
platform::MappedFile OpenAtItsTurn(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock,
                                   const std::string& path) {
  lock.unlock();
  platform::MappedFile opened = platform::OpenCacheFileAtItsTurn(path.c_str());
  if (opened.status != platform::MapStatus::kOpenFailed ||
      !platform::OpenMayWorkLater(opened.error_code)) {
    return opened;
  }
  Acquire(lock);
  look_ahead.opens_held_off = true;
  look_ahead.walk_waiting = true;
  look_ahead.task_done.wait(lock, [&] { return look_ahead.files_being_opened == 0; });
  look_ahead.walk_waiting = false;
  for (const std::shared_ptr<FolderTask>& entered : look_ahead.entered) CloseOpenedFiles(*entered);
  lock.unlock();
  opened = platform::OpenCacheFileAtItsTurn(path.c_str());
  Acquire(lock);
  look_ahead.opens_held_off = false;
  WindowMoved(look_ahead, true);
  lock.unlock();
  return opened;
}

// The first of `tasks`, taken out of them, if it is the one at `path`.
template <typename Task>
std::shared_ptr<Task> TakeIfNext(std::deque<std::shared_ptr<Task>>& tasks,
                                 const std::string& path) {
  if (tasks.empty() || tasks.front()->path != path) return nullptr;
  std::shared_ptr<Task> task = std::move(tasks.front());
  tasks.pop_front();
  return task;
}

// Takes the lock for the walk, and lets go of the folders it has left.
void AcquireForWalk(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock) {
  Acquire(lock);
  for (; look_ahead.folders_left > 0; --look_ahead.folders_left) {
    DropContents(*look_ahead.entered.back());
    look_ahead.entered.pop_back();
    WindowMoved(look_ahead, false);
  }
}

}  // namespace

LookAheadHandle StartLookAhead(const std::string& path) {
  LookAheadHandle look_ahead(new LookAhead);
  // The descriptors the look-ahead may hold go to the helpers at work first,
  // then to the files opened ahead. Under a low limit on open files it starts
  // no helper, and the walk lists and opens everything itself.
  const std::size_t descriptors = platform::DescriptorsForLookAhead();
  std::size_t helpers = descriptors / (2 * kDescriptorsPerHelper);
  if (helpers > kMostHelpers) helpers = kMostHelpers;
  const std::size_t files = descriptors - helpers * kDescriptorsPerHelper;
  look_ahead->max_files_ahead = files < kMostFilesAhead ? files : kMostFilesAhead;
  auto start = std::make_shared<FolderTask>();
  start->state = TaskState::kDone;
  auto named = std::make_shared<FolderTask>();
  named->path = path;
  named->named = true;
  start->subfolders.push_back(std::move(named));
  look_ahead->entered.push_back(std::move(start));
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      look_ahead->helpers.emplace_back(RunHelper, std::ref(*look_ahead));
    } catch (const std::system_error&) {
      break;  // the walk does without the rest
    }
  }
  return look_ahead;
}

void StopLookAhead::operator()(LookAhead* look_ahead) const {
  {
    const std::lock_guard<std::mutex> lock(look_ahead->mutex);
    look_ahead->stopping = true;
    for (const std::shared_ptr<FolderTask>& folder : look_ahead->entered) DropContents(*folder);
  }
  look_ahead->work_ready.notify_all();
  for (std::thread& helper : look_ahead->helpers) helper.join();
  delete look_ahead;
}

const platform::FolderListing& EnterFolder(LookAhead& look_ahead, const std::string& path,
                                           bool& listed) {
  std::unique_lock<std::mutex> lock(look_ahead.mutex, std::defer_lock);
  AcquireForWalk(look_ahead, lock);
  FolderTask& parent = *look_ahead.entered.back();
  if (parent.subfolders.empty()) AddNextSubfolder(parent);
  std::shared_ptr<FolderTask> folder = TakeIfNext(parent.subfolders, path);
  if (folder == nullptr) {
    // Not what the look-ahead took the walk to come to: the folder is listed
    // here, and nothing is looked ahead in it.
    folder = std::make_shared<FolderTask>();
    folder->path = path;
  }
  look_ahead.entered.push_back(folder);
  WindowMoved(look_ahead, folder->state != TaskState::kDone);
  if (folder->state == TaskState::kStarted) AwaitHelper(look_ahead, lock, folder->state);
  if (folder->state != TaskState::kDone) {
    // Not started, or its listing there may have failed only because of what
    // the look-ahead held: the walk lists it now.
    folder->state = TaskState::kStarted;
    lock.unlock();
    const bool listed_here = platform::ListFolder(path.c_str(), folder->listing);
    Acquire(lock);
    folder->listed = listed_here;
    folder->state = TaskState::kDone;
  }
  listed = folder->listed;
  return folder->listing;
}

platform::MappedFile TakeCacheFile(LookAhead& look_ahead, const std::string& path) {
  std::unique_lock<std::mutex> lock(look_ahead.mutex, std::defer_lock);
  AcquireForWalk(look_ahead, lock);
  FolderTask& folder = *look_ahead.entered.back();
  if (folder.files.empty()) AddNextFile(folder);
  const std::shared_ptr<FileTask> file = TakeIfNext(folder.files, path);
  WindowMoved(look_ahead, file == nullptr || file->state != TaskState::kDone);
  if (file != nullptr && file->state == TaskState::kStarted) {
    AwaitHelper(look_ahead, lock, file->state);
  }
  if (file != nullptr && file->state == TaskState::kDone) return file->file;
  // Not opened ahead, or its open there may have failed only because of what
  // the look-ahead held: it is opened now, at its turn.
  return OpenAtItsTurn(look_ahead, lock, path);
}

void LeaveFolder(LookAhead& look_ahead) { ++look_ahead.folders_left; }

}  // namespace artpeel
