// What always holds:
// - The tasks ahead form a tree in walk order below the folders the walk is in
//   (`entered`): a folder's cache files to open, then its subfolders to list,
//   each with the same below it once listed; added by the walk's rules, one at
//   a time, only as far as the window reaches.
// - A helper starts the first waiting task in walk order that the budget lets
//   it start and does it without the lock. The walk takes only the front task
//   of the folder it is in: done, as it is; started, once its helper has filed
//   it; waiting, out of the tree, to do it itself.
// - `held`, the sum of the tasks' charges, never exceeds `budget`: a task is
//   charged in full before it starts, but for the bytes a file asks into the
//   cache, charged once its open has given its size and before they are
//   asked. Only the thread on a started task touches its result until it is
//   filed; all else is under `mutex`, but the walk-only fields.
// - Eight helpers start with the look-ahead; more start only while the file
//   system's answers are slow and the walk waits for them, and never more
//   than the budgets allow (`most_helpers`).
// - Tasks the walk will not take are dropped: done ones released at once,
//   started ones by their helper. Helpers share ownership; the stop waits for
//   none of them.
#include "walk/look_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "walk/walk_order.h"

namespace artpeel {

namespace {

// Helpers mostly wait on round trips, not on a processor, and each costs only
// its small stack. Eight keep a local disk or a near share busy, and more cost
// there: more threads woken to share work that takes microseconds. A far
// share answers each request after a round trip of milliseconds and serves
// many at once (NFS, SMB): there the helpers grow (AddHelpersIfBehind) up to
// kMostHelpers, which took 10 and 50 ms round trips 4-6 times faster than
// eight did; 128 were no faster.
constexpr std::size_t kFirstHelpers = 8;
constexpr std::size_t kMostHelpers = 64;
// A call to the file system that takes this long waited for a round trip (or
// a disk's seek): far longer than a disk's cached answer takes.
constexpr std::uint64_t kSlowTaskMicroseconds = 1000;
// A helper at work holds at most this many descriptors: a cache file it opens
// (by its path first, on POSIX), or a folder it lists.
constexpr std::size_t kDescriptorsPerHelper = 2;
constexpr std::uint64_t kMostFileBytesAhead = std::uint64_t{32} << 20;
// Asked into the cache for one file at most, so that a large file leaves bytes
// ahead for the files after it.
constexpr std::uint64_t kMostBytesPerFile = std::uint64_t{8} << 20;
// The window stays as it is when the helpers grow: 64 helpers find work enough
// in 128 folders ahead (256 were no faster on a far share, and slower on a
// warm tree of folders).
constexpr std::size_t kMostFoldersAhead = 128;
constexpr std::uint64_t kMostListingBytesAhead = std::uint64_t{4} << 20;
// Waking a helper is a system call on both sides: the walk wakes one after
// this many tasks taken, or at once when it finds the helpers behind it.
constexpr std::size_t kTakesPerWake = 16;

// What the look-ahead holds, or may hold, at once.
struct Holdings {
  std::size_t descriptors = 0;
  std::size_t files = 0;  // opened ahead, being opened, or left to the walk
  std::uint64_t file_bytes = 0;  // asked into the cache for them
  std::size_t folders = 0;  // listed ahead or being listed
  std::uint64_t listing_bytes = 0;
};

// Adds `part` to `total`, or takes it off with `sign` -1.
void Add(Holdings& total, const Holdings& part, int sign) {
  const auto add = [sign](auto& to, auto value) { to = sign > 0 ? to + value : to - value; };
  add(total.descriptors, part.descriptors);
  add(total.files, part.files);
  add(total.file_bytes, part.file_bytes);
  add(total.folders, part.folders);
  add(total.listing_bytes, part.listing_bytes);
}

enum class TaskState {
  kWaiting,     // nobody has started it
  kStarted,     // a helper is on it, or the walk on a folder it entered
  kDone,        // its result is filed
  kForTheWalk,  // failed ahead in a way that may pass: the walk does it at its turn
};

struct FileTask {
  std::string path;
  TaskState state = TaskState::kWaiting;
  bool dropped = false;  // the walk will not take it
  Holdings charge;
  platform::MappedFile file;
};

struct FolderTask {
  std::string path;
  bool named = false;  // the named folder, whose own cache files are not dumped
  bool beyond_path_limit = false;
  TaskState state = TaskState::kWaiting;
  bool dropped = false;
  Holdings charge;
  bool listed = false;
  platform::FolderListing listing;
  // Its cache files, then its subfolders, in walk order, as far as the listing
  // has been looked through for them and not yet taken by the walk.
  std::size_t next_file_entry = 0;
  std::deque<std::shared_ptr<FileTask>> files;
  std::size_t next_subfolder_entry = 0;
  std::deque<std::shared_ptr<FolderTask>> subfolders;
};

}  // namespace

struct LookAhead {
  std::mutex mutex;
  std::condition_variable work_ready;  // helpers wait here for work
  std::condition_variable task_done;   // the walk waits here for a helper
  Holdings budget;
  Holdings held;
  bool stopping = false;
  bool walk_waiting = false;
  bool opens_held_off = false;  // while the walk opens a file at its turn again
  std::size_t files_being_opened = 0;
  std::size_t helpers = 0;  // started
  std::size_t most_helpers = 0;  // as many as the budgets let start
  std::size_t idle_helpers = 0;
  bool helper_rested = false;  // after a quick listing of folders only
  std::size_t slow_tasks_in_a_row = 0;
  std::size_t takes_since_wake = 0;
  // The folders the walk is in, outermost first. The first is no folder of the
  // file system: it holds the named folder as its one subfolder.
  std::vector<std::shared_ptr<FolderTask>> entered;
  // Walk-only: the cache file the walk has in hand, and the walk's share of the
  // look-ahead, given up at the stop.
  std::shared_ptr<FileTask> file_in_hand;
  std::shared_ptr<LookAhead> walk_share;
};

namespace {

void Recharge(LookAhead& look_ahead, Holdings& charge, const Holdings& now) {
  Add(look_ahead.held, charge, -1);
  charge = now;
  Add(look_ahead.held, charge, 1);
}

bool Fits(const LookAhead& look_ahead, const Holdings& more) {
  Holdings total = look_ahead.held;
  Add(total, more, 1);
  const Holdings& budget = look_ahead.budget;
  return total.descriptors <= budget.descriptors && total.files <= budget.files &&
         total.file_bytes <= budget.file_bytes && total.folders <= budget.folders;
}

std::uint64_t ListingBytes(const platform::FolderListing& listing) {
  return listing.names.size() + listing.entries.size() * sizeof(platform::FolderEntry);
}

// A new task for the next entry of `folder` that `next_entry` picks at or
// after `cursor`, which moves past it; none at the end of the listing.
template <typename Task>
std::shared_ptr<Task> NextTask(const FolderTask& folder, std::size_t& cursor,
                               std::size_t (*next_entry)(const platform::FolderListing&,
                                                         std::size_t)) {
  if (folder.state != TaskState::kDone || !folder.listed) return nullptr;
  const platform::FolderListing& listing = folder.listing;
  cursor = next_entry(listing, cursor);
  if (cursor == listing.entries.size()) return nullptr;
  auto task = std::make_shared<Task>();
  task->path = PathIn(folder.path, listing.NameOf(listing.entries[cursor++]));
  return task;
}

// Adds the folder's next cache file to its tasks; false when there is none.
bool AddNextFile(FolderTask& folder) {
  if (folder.named) return false;
  auto file = NextTask<FileTask>(folder, folder.next_file_entry, NextCacheFileEntry);
  if (file == nullptr) return false;
  folder.files.push_back(std::move(file));
  return true;
}

// Adds the folder's next subfolder to its tasks; false when there is none. A
// subfolder past the path limit is added as it is, to be passed over.
bool AddNextSubfolder(LookAhead& look_ahead, FolderTask& folder) {
  auto subfolder = NextTask<FolderTask>(folder, folder.next_subfolder_entry, NextSubfolderEntry);
  if (subfolder == nullptr) return false;
  if (!CanSearch(subfolder->path)) {
    subfolder->beyond_path_limit = true;
    subfolder->state = TaskState::kDone;
    // Counted like a folder ahead, so that a folder of many such entries
    // adds no more tasks than the window holds.
    Recharge(look_ahead, subfolder->charge, {.folders = 1});
  }
  folder.subfolders.push_back(std::move(subfolder));
  return true;
}

// A task a helper starts: a folder to list or a file to open.
struct StartedTask {
  std::shared_ptr<FolderTask> folder;
  std::shared_ptr<FileTask> file;
};

// Looks through `folder`'s files and subfolders, in walk order, for the first
// task a helper may start; true when `found` holds it.
bool FindTaskIn(LookAhead& look_ahead, FolderTask& folder, StartedTask& found) {
  // A file's bytes are charged once its open has given its size: charged
  // before, as much as a file may ask, they let only four opens be under way.
  const Holdings file_cost = {.descriptors = kDescriptorsPerHelper, .files = 1};
  const bool file_fits = !look_ahead.opens_held_off && Fits(look_ahead, file_cost);
  for (std::size_t i = 0; file_fits; ++i) {
    if (i == folder.files.size() && !AddNextFile(folder)) break;
    if (folder.files[i]->state != TaskState::kWaiting) continue;
    found.file = folder.files[i];
    Recharge(look_ahead, found.file->charge, file_cost);
    return true;
  }
  const Holdings folder_cost = {.descriptors = 1, .folders = 1};
  const bool folder_fits = Fits(look_ahead, folder_cost) &&
                           look_ahead.held.listing_bytes < look_ahead.budget.listing_bytes;
  for (std::size_t i = 0;; ++i) {
    // Past what it holds, the window takes no new task.
    if (i == folder.subfolders.size() &&
        !(look_ahead.held.folders < look_ahead.budget.folders &&
          AddNextSubfolder(look_ahead, folder))) {
      return false;
    }
    const std::shared_ptr<FolderTask>& subfolder = folder.subfolders[i];
    if (subfolder->state == TaskState::kWaiting && folder_fits) {
      found.folder = subfolder;
      Recharge(look_ahead, found.folder->charge, folder_cost);
      return true;
    }
    if (subfolder->state == TaskState::kDone && FindTaskIn(look_ahead, *subfolder, found)) {
      return true;
    }
  }
}

// The first task in the window a helper may start, marked started.
bool StartNextTask(LookAhead& look_ahead, StartedTask& found) {
  for (auto folder = look_ahead.entered.rbegin(); folder != look_ahead.entered.rend(); ++folder) {
    if (FindTaskIn(look_ahead, **folder, found)) break;
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

// Lets go of everything looked ahead in `folder`: what is done is released,
// what a helper is on is marked for it to release.
void DropContents(LookAhead& look_ahead, FolderTask& folder) {
  for (const std::shared_ptr<FileTask>& file : folder.files) {
    if (file->state == TaskState::kStarted) {
      file->dropped = true;
      continue;
    }
    platform::ReleaseMappedFile(file->file);
    Recharge(look_ahead, file->charge, {});
  }
  folder.files.clear();
  for (const std::shared_ptr<FolderTask>& subfolder : folder.subfolders) {
    if (subfolder->state == TaskState::kStarted) {
      subfolder->dropped = true;
      continue;
    }
    DropContents(look_ahead, *subfolder);
    Recharge(look_ahead, subfolder->charge, {});
  }
  folder.subfolders.clear();
}

bool MayWorkLater(const platform::MappedFile& file) {
  return file.status == platform::MapStatus::kOpenFailed &&
         platform::OpenMayWorkLater(file.error_code);
}

void FileListing(LookAhead& look_ahead, FolderTask& folder, bool listed) {
  if (folder.dropped) {
    folder.listing = {};
    Recharge(look_ahead, folder.charge, {});
  } else if (!listed && platform::OpenMayWorkLater(folder.listing.error_code)) {
    folder.state = TaskState::kForTheWalk;
    Recharge(look_ahead, folder.charge, {.folders = 1});
  } else {
    folder.listed = listed;
    folder.state = TaskState::kDone;
    Recharge(look_ahead, folder.charge,
             {.folders = 1, .listing_bytes = ListingBytes(folder.listing)});
  }
}

void FileOpened(LookAhead& look_ahead, FileTask& task, platform::MappedFile file,
                std::uint64_t bytes_asked) {
  --look_ahead.files_being_opened;
  if (task.dropped) {
    platform::ReleaseMappedFile(file);
    Recharge(look_ahead, task.charge, {});
  } else if (MayWorkLater(file)) {
    task.state = TaskState::kForTheWalk;
    Recharge(look_ahead, task.charge, {.files = 1});
  } else {
    task.file = std::move(file);
    task.state = TaskState::kDone;
    const bool open = file.status == platform::MapStatus::kOpened;
    Recharge(look_ahead, task.charge,
             {.descriptors = open ? std::size_t{1} : 0, .files = 1, .file_bytes = bytes_asked});
  }
}

// Charges the bytes of an opened file that its helper asks into the cache:
// as many as the window has left, up to kMostBytesPerFile.
std::uint64_t ChargeFileBytes(LookAhead& look_ahead, FileTask& task, std::uint64_t size) {
  std::uint64_t bytes = look_ahead.budget.file_bytes - look_ahead.held.file_bytes;
  if (bytes > kMostBytesPerFile) bytes = kMostBytesPerFile;
  if (bytes > size) bytes = size;
  Holdings charge = task.charge;
  charge.file_bytes += bytes;
  Recharge(look_ahead, task.charge, charge);
  return bytes;
}

// Does a started task without the lock and files its result; true when the
// file system took kSlowTaskMicroseconds or more. Called with the lock held,
// returns with it held.
bool DoTask(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock, const StartedTask& task) {
  lock.unlock();
  const std::uint64_t start = platform::MonotonicMicroseconds();
  bool slow = false;
  if (task.folder != nullptr) {
    // Nobody else touches a started folder's listing.
    const bool listed = platform::ListFolder(task.folder->path.c_str(), task.folder->listing);
    slow = platform::MonotonicMicroseconds() - start >= kSlowTaskMicroseconds;
    lock.lock();
    FileListing(look_ahead, *task.folder, listed);
  } else {
    platform::MappedFile file = platform::OpenFileReadOnly(task.file->path.c_str());
    slow = platform::MonotonicMicroseconds() - start >= kSlowTaskMicroseconds;
    std::uint64_t asked = 0;
    if (file.status == platform::MapStatus::kOpened) {
      lock.lock();
      const std::uint64_t bytes = ChargeFileBytes(look_ahead, *task.file, file.size);
      lock.unlock();
      asked = platform::ReadIntoCache(file, bytes);
    }
    lock.lock();
    FileOpened(look_ahead, *task.file, std::move(file), asked);
  }
  if (look_ahead.walk_waiting) look_ahead.task_done.notify_all();
  return slow;
}

void RunHelper(void* context);

// Starts up to `count` helpers; how many started.
std::size_t StartHelpers(const std::shared_ptr<LookAhead>& look_ahead, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto* share = new std::shared_ptr<LookAhead>(look_ahead);
    if (!platform::StartHelperThread(RunHelper, share)) {
      delete share;
      return i;
    }
  }
  return count;
}

// A helper has done a task, `slow` or not. While more tasks in a row than
// there are helpers were slow and the walk waits with every helper at work,
// the helpers fall behind for want of requests under way: as many again
// start, up to the most the budgets allow. A disk, which answers in
// microseconds, never gets more; a single slow task (a busy machine that
// left a helper waiting for a processor) gets none either.
void AddHelpersIfBehind(const std::shared_ptr<LookAhead>& share,
                        std::unique_lock<std::mutex>& lock, bool slow) {
  LookAhead& look_ahead = *share;
  look_ahead.slow_tasks_in_a_row = slow ? look_ahead.slow_tasks_in_a_row + 1 : 0;
  if (look_ahead.slow_tasks_in_a_row <= look_ahead.helpers || !look_ahead.walk_waiting ||
      look_ahead.idle_helpers > 0 || look_ahead.helpers == look_ahead.most_helpers ||
      look_ahead.stopping) {
    return;
  }
  look_ahead.slow_tasks_in_a_row = 0;
  const std::size_t more =
      std::min(look_ahead.helpers, look_ahead.most_helpers - look_ahead.helpers);
  look_ahead.helpers += more;
  lock.unlock();
  const std::size_t started = StartHelpers(share, more);
  lock.lock();
  if (started < more) {
    // The system has no more threads to give: no more are asked for.
    look_ahead.helpers -= more - started;
    look_ahead.most_helpers = look_ahead.helpers;
  }
}

// Whether the listing of `folder` gives cache files to open ahead.
bool HoldsCacheFiles(const FolderTask& folder) {
  return folder.listed &&
         NextCacheFileEntry(folder.listing, 0) < folder.listing.entries.size();
}

void RunHelper(void* context) {
  // The look-ahead lives until its last helper has let go of it, and the lock
  // goes before it does.
  const std::unique_ptr<std::shared_ptr<LookAhead>> share(
      static_cast<std::shared_ptr<LookAhead>*>(context));
  LookAhead& look_ahead = **share;
  std::unique_lock<std::mutex> lock(look_ahead.mutex);
  while (!look_ahead.stopping) {
    StartedTask task;
    if (!StartNextTask(look_ahead, task)) {
      ++look_ahead.idle_helpers;
      look_ahead.work_ready.wait(lock);
      --look_ahead.idle_helpers;
      continue;
    }
    // The walk waits: another helper joins in, as far as the file system
    // makes them wait.
    if (look_ahead.walk_waiting && look_ahead.idle_helpers > 0) {
      look_ahead.work_ready.notify_one();
    }
    const bool slow = DoTask(look_ahead, lock, task);
    AddHelpersIfBehind(*share, lock, slow);
    if (!slow && task.folder != nullptr && !HoldsCacheFiles(*task.folder) &&
        !look_ahead.stopping) {
      // A folder of folders listed from a warm cache: the walk lists the next
      // ones as fast itself, and handing each over would cost it more (a tree
      // of 50,000 folders took half again as long). The helper rests until
      // the walk wakes it, at the latest when it takes a cache file.
      ++look_ahead.idle_helpers;
      look_ahead.helper_rested = true;
      look_ahead.work_ready.wait(lock);
      --look_ahead.idle_helpers;
    }
  }
}

// The walk has taken a task: the window has moved on by one. An idle helper
// is woken after every few, and at once when the walk found the task not done
// while the file system's answers are slow (`behind`).
void WindowMoved(LookAhead& look_ahead, bool behind) {
  if (look_ahead.idle_helpers == 0) return;
  if ((behind && look_ahead.slow_tasks_in_a_row > 0) ||
      ++look_ahead.takes_since_wake >= kTakesPerWake) {
    look_ahead.takes_since_wake = 0;
    look_ahead.work_ready.notify_one();
  }
}

// Waits, lock held, until a helper has filed the task whose state is `state`.
void AwaitHelper(LookAhead& look_ahead, std::unique_lock<std::mutex>& lock,
                 const TaskState& state) {
  look_ahead.walk_waiting = true;
  look_ahead.task_done.wait(lock, [&] { return state != TaskState::kStarted; });
  look_ahead.walk_waiting = false;
}

// Closes every file opened ahead below `folder`, to be opened again later.
void ReleaseOpenedFiles(LookAhead& look_ahead, FolderTask& folder) {
  for (const std::shared_ptr<FileTask>& file : folder.files) {
    if (file->state != TaskState::kDone) continue;
    platform::ReleaseMappedFile(file->file);
    Recharge(look_ahead, file->charge, {});
    file->state = TaskState::kWaiting;
  }
  for (const std::shared_ptr<FolderTask>& subfolder : folder.subfolders) {
    if (subfolder->state == TaskState::kDone) ReleaseOpenedFiles(look_ahead, *subfolder);
  }
}

// The walk's own open of a cache file at its turn, which waits a moment for
// another program's hold to pass. An open that still fails in a way that may
// pass is made once more after the helpers have stopped opening and every file
// opened ahead is closed: on Windows the look-ahead may hold the file itself,
// by another path. What fails then would fail without helpers too.
platform::MappedFile OpenAtItsTurn(LookAhead& look_ahead, const std::string& path) {
  platform::MappedFile file = platform::OpenCacheFileAtItsTurn(path.c_str());
  if (!MayWorkLater(file)) return file;
  std::unique_lock<std::mutex> lock(look_ahead.mutex);
  look_ahead.opens_held_off = true;
  look_ahead.walk_waiting = true;
  look_ahead.task_done.wait(lock, [&] { return look_ahead.files_being_opened == 0; });
  look_ahead.walk_waiting = false;
  for (const std::shared_ptr<FolderTask>& folder : look_ahead.entered) {
    ReleaseOpenedFiles(look_ahead, *folder);
  }
  lock.unlock();
  file = platform::OpenCacheFileAtItsTurn(path.c_str());
  lock.lock();
  look_ahead.opens_held_off = false;
  WindowMoved(look_ahead, true);
  return file;
}

}  // namespace

LookAheadHandle StartLookAhead(const std::string& path) {
  auto look_ahead = std::make_shared<LookAhead>();
  // Descriptors go to the helpers at work first, half of them at most, then
  // to the files opened ahead; under a low limit no helper starts, and the
  // walk lists and opens everything itself. Each helper's stack and the
  // listings kept ahead come out of the address space the look-ahead may take.
  const std::size_t descriptors = platform::DescriptorsForLookAhead();
  const std::uint64_t address_space = platform::AddressSpaceForLookAhead();
  Holdings& budget = look_ahead->budget;
  budget = {.descriptors = descriptors,
            .files = platform::kMostFilesHeldAhead,
            .file_bytes = kMostFileBytesAhead,
            .folders = kMostFoldersAhead,
            .listing_bytes = address_space / 2 < kMostListingBytesAhead ? address_space / 2
                                                                        : kMostListingBytesAhead};
  std::size_t helpers = descriptors / (2 * kDescriptorsPerHelper);
  const std::uint64_t stacks = address_space / 2 / platform::kHelperStackBytes;
  if (helpers > stacks) helpers = static_cast<std::size_t>(stacks);
  if (helpers > kMostHelpers) helpers = kMostHelpers;
  look_ahead->most_helpers = helpers;
  look_ahead->helpers = std::min(helpers, kFirstHelpers);

  auto start = std::make_shared<FolderTask>();
  start->state = TaskState::kDone;
  auto named = std::make_shared<FolderTask>();
  named->path = path;
  named->named = true;
  start->subfolders.push_back(std::move(named));
  look_ahead->entered.push_back(std::move(start));
  const std::size_t first = look_ahead->helpers;
  const std::size_t started = StartHelpers(look_ahead, first);
  if (started < first) {
    // The walk does without the rest.
    const std::lock_guard<std::mutex> lock(look_ahead->mutex);
    look_ahead->helpers = look_ahead->most_helpers = started;
  }
  look_ahead->walk_share = look_ahead;
  return LookAheadHandle(look_ahead.get());
}

void StopLookAhead::operator()(LookAhead* look_ahead) const {
  std::shared_ptr<LookAhead> walk_share;
  {
    const std::lock_guard<std::mutex> lock(look_ahead->mutex);
    look_ahead->stopping = true;
    for (const std::shared_ptr<FolderTask>& folder : look_ahead->entered) {
      DropContents(*look_ahead, *folder);
    }
    look_ahead->entered.clear();
    look_ahead->file_in_hand.reset();
    walk_share = std::move(look_ahead->walk_share);
  }
  look_ahead->work_ready.notify_all();
  // The look-ahead goes with its last helper, perhaps this very moment.
}

bool EnterNextFolder(LookAhead& look_ahead, EnteredFolder& entered) {
  std::unique_lock<std::mutex> lock(look_ahead.mutex);
  FolderTask& parent = *look_ahead.entered.back();
  if (parent.subfolders.empty() && !AddNextSubfolder(look_ahead, parent)) return false;
  const std::shared_ptr<FolderTask> folder = std::move(parent.subfolders.front());
  parent.subfolders.pop_front();
  look_ahead.entered.push_back(folder);
  const bool behind = folder->state != TaskState::kDone;
  if (folder->state == TaskState::kStarted) AwaitHelper(look_ahead, lock, folder->state);
  if (folder->state != TaskState::kDone) {
    // Helpers look below it only once it is listed.
    folder->state = TaskState::kStarted;
    lock.unlock();
    const bool listed = platform::ListFolder(folder->path.c_str(), folder->listing);
    lock.lock();
    folder->listed = listed;
    folder->state = TaskState::kDone;
  }
  // Its listing is the walk's now, as long as it is in the folder.
  Recharge(look_ahead, folder->charge, {});
  WindowMoved(look_ahead, behind);
  entered = {.path = &folder->path,
             .beyond_path_limit = folder->beyond_path_limit,
             .listed = folder->listed,
             .listing = &folder->listing};
  return true;
}

bool TakeNextCacheFile(LookAhead& look_ahead, CacheFileInHand& cache_file) {
  std::unique_lock<std::mutex> lock(look_ahead.mutex);
  FolderTask& folder = *look_ahead.entered.back();
  if (folder.files.empty() && !AddNextFile(folder)) return false;
  look_ahead.file_in_hand = std::move(folder.files.front());
  folder.files.pop_front();
  FileTask& file = *look_ahead.file_in_hand;
  const bool behind = file.state != TaskState::kDone;
  if (file.state == TaskState::kStarted) AwaitHelper(look_ahead, lock, file.state);
  Recharge(look_ahead, file.charge, {});
  WindowMoved(look_ahead, behind);
  // The walk has cache files to dump now, more than listing to do: after
  // helpers rested on folders of folders, one looks ahead again (and, as it
  // goes, wakes others while the walk waits).
  if (look_ahead.helper_rested) {
    look_ahead.helper_rested = false;
    look_ahead.work_ready.notify_one();
  }
  cache_file.path = &file.path;
  if (file.state == TaskState::kDone) {
    cache_file.file = std::move(file.file);
    return true;
  }
  // Not opened ahead, or its open there may have failed only because of what
  // the look-ahead held: it is opened now, at its turn.
  lock.unlock();
  cache_file.file = OpenAtItsTurn(look_ahead, file.path);
  return true;
}

void LeaveFolder(LookAhead& look_ahead) {
  const std::lock_guard<std::mutex> lock(look_ahead.mutex);
  DropContents(look_ahead, *look_ahead.entered.back());
  look_ahead.entered.pop_back();
  WindowMoved(look_ahead, false);
}

}  // namespace artpeel
