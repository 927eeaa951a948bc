// The window's operations: how far it reaches (the budgets), what each task is
// charged, and how tasks are added, started, handed in, taken and dropped.
// Its invariants are in look_ahead_window.h; CheckWindow asserts them.
#include "walk/look_ahead_window.h"

#include <algorithm>
#include <cassert>
#include <type_traits>
#include <utility>

#include "walk/walk_order.h"

namespace artpeel {

namespace {

constexpr std::uint64_t kMostFileBytesAhead = std::uint64_t{32} << 20;
// Asked into the cache for one file at most, so that a large file leaves bytes
// ahead for the files after it.
constexpr std::uint64_t kMostBytesPerFile = std::uint64_t{8} << 20;
// Eight helpers find work enough in 128 folders and 64 cache files ahead
// (more made a warm tree of folders slower). Where more helpers keep requests
// under way on a far share, the window reaches further with them: a folder
// ahead costs only its listing's bytes, and a file a descriptor.
constexpr std::size_t kFirstFoldersAhead = 128;
constexpr std::size_t kFoldersAheadPerHelper = 4;
constexpr std::size_t kFirstFilesAhead = 64;
constexpr std::uint64_t kMostListingBytesAhead = std::uint64_t{4} << 20;

// What a task ahead is charged before it starts, and once it has; a folder
// held open, and a task started in one, are charged its descriptor besides.
constexpr Holdings kFileStarted = {.descriptors = kDescriptorsPerHelper, .files = 1};
constexpr Holdings kFolderWaiting = {.folders = 1};
constexpr Holdings kFolderStarted = {.descriptors = 1, .folders = 1};
constexpr Holdings kHeldOpen = {.descriptors = 1};

// `a` and `b` added up, or `b` taken off `a`, which holds it, with sign -1.
Holdings Sum(const Holdings& a, const Holdings& b, int sign = 1) {
  const auto add = [sign](auto to, auto value) { return sign > 0 ? to + value : to - value; };
  return {add(a.descriptors, b.descriptors), add(a.files, b.files),
          add(a.file_bytes, b.file_bytes), add(a.folders, b.folders),
          add(a.listing_bytes, b.listing_bytes)};
}

// Whether a task charged `charge` may be charged `now` instead.
bool Fits(const Window& window, const Holdings& charge, const Holdings& now) {
  const Holdings held = Sum(Sum(window.held, charge, -1), now);
  const Holdings& budget = window.budget;
  return held.descriptors <= budget.descriptors && held.files <= budget.files &&
         held.file_bytes <= budget.file_bytes && held.folders <= budget.folders &&
         held.listing_bytes <= budget.listing_bytes;
}

void SetCharge(Window& window, Holdings& charge, const Holdings& now) {
  window.held = Sum(Sum(window.held, charge, -1), now);
  charge = now;
}

std::uint64_t ListingBytes(const platform::FolderListing& listing) {
  return listing.names.size() + listing.entries.size() * sizeof(platform::FolderEntry);
}

// `charge` and the folder held open that a task started in `folder` keeps.
Holdings StartedIn(const FolderTask& folder, const Holdings& charge) {
  return folder.held != nullptr ? Sum(charge, kHeldOpen) : charge;
}

// A started task's `charge`, and the folder held open that it opens in.
template <typename Task>
Holdings StartedCharge(const Task& task, const Holdings& charge) {
  return task.in_folder != nullptr ? Sum(charge, kHeldOpen) : charge;
}

// The folder held open that a task of `folder` for the entry at `path` opens
// in: only where its name there reaches what its whole path reaches (a file
// or folder by the listing's own word, with no link to follow, and a path
// within the limit), so that opening there changes nothing but the speed.
std::shared_ptr<const HeldFolder> HeldFor(const FolderTask& folder, bool plain,
                                          const std::string& path) {
  if (!plain || platform::PathLength(path) >= platform::MaxPathLength()) return nullptr;
  return folder.held;
}

// A folder's charge for its listing kept ahead, and itself held open.
Holdings KeptAhead(const FolderTask& folder) {
  return {.descriptors = folder.held != nullptr,
          .folders = 1,
          .listing_bytes = ListingBytes(folder.listing)};
}

// A started folder's charge, and the first part of its listing handed in.
Holdings StartedFolderCharge(const FolderTask& folder) {
  Holdings charge = StartedCharge(folder, kFolderStarted);
  if (folder.listing_in_part) charge.listing_bytes = ListingBytes(folder.listing);
  return charge;
}

// Whether tasks may be made below `folder`: its listing is in, or a part of it.
bool TasksMayBeMade(const FolderTask& folder) {
  return folder.state == TaskState::kDone || folder.listing_in_part;
}

// What an entered folder is charged: its descriptor while it is held open.
Holdings Entered(const FolderTask& folder) {
  return folder.held != nullptr ? kHeldOpen : Holdings{};
}

// A task for the entry of `folder` at or after `cursor` that `next_entry`
// picks, the cursor moved past it; null at the end of the listing.
template <typename Task>
std::unique_ptr<Task> NextTask(const FolderTask& folder, std::size_t& cursor,
                               std::size_t (*next_entry)(const platform::FolderListing&,
                                                         std::size_t)) {
  if (!TasksMayBeMade(folder) || !folder.listed) return nullptr;
  const platform::FolderListing& listing = folder.listing;
  cursor = next_entry(listing, cursor);
  if (cursor == listing.entries.size()) return nullptr;
  auto task = std::make_unique<Task>();
  task->entry = cursor;
  task->path = PathIn(folder.path, listing.NameOf(listing.entries[cursor++]));
  return task;
}

std::unique_ptr<FileTask> NextFileTask(FolderTask& folder) {
  if (folder.named_on_command_line) return nullptr;
  auto file = NextTask<FileTask>(folder, folder.next_file_entry, NextCacheFileEntry);
  if (file != nullptr) file->listed_as_file = folder.listing.entries[file->entry].is_file;
  return file;
}

// Charged nothing yet; one past the path limit is done, with nothing below.
std::unique_ptr<FolderTask> NextFolderTask(FolderTask& folder) {
  auto subfolder = NextTask<FolderTask>(folder, folder.next_subfolder_entry, NextSubfolderEntry);
  if (subfolder != nullptr) subfolder->plain = folder.listing.entries[subfolder->entry].is_plain_folder;
  if (subfolder != nullptr && !CanSearch(subfolder->path)) {
    subfolder->beyond_path_limit = true;
    subfolder->state = TaskState::kDone;
  }
  return subfolder;
}

template <typename Task>
std::unique_ptr<Task> TakeFront(std::vector<std::unique_ptr<Task>>& tasks) {
  if (tasks.empty()) return nullptr;
  std::unique_ptr<Task> front = std::move(tasks.front());
  tasks.erase(tasks.begin());
  return front;
}

// A folder held open lets go of itself once every task it may hold has been
// made and started (the last subfolder's start stands for the rest): the
// tasks started in it keep it open until they hand in. The cursors move on to
// the next entry each takes, so that a wide folder is looked through once.
void LetGoIfDone(Window& window, FolderTask& folder) {
  if (folder.held == nullptr) return;
  const platform::FolderListing& listing = folder.listing;
  folder.next_file_entry = NextCacheFileEntry(listing, folder.next_file_entry);
  folder.next_subfolder_entry = NextSubfolderEntry(listing, folder.next_subfolder_entry);
  const std::size_t end = listing.entries.size();
  if ((folder.next_file_entry < end && !folder.named_on_command_line) ||
      folder.next_subfolder_entry < end ||
      (!folder.subfolders.empty() && folder.subfolders.back()->state == TaskState::kWaiting)) {
    return;
  }
  SetCharge(window, folder.charge, Sum(folder.charge, kHeldOpen, -1));
  folder.held.reset();
}

// The folder kept open with a listing, which whoever holds it closes.
std::shared_ptr<const HeldFolder> TakeHandle(platform::FolderListing& listing) {
  if (listing.handle < 0) return nullptr;
  return std::make_shared<const HeldFolder>(std::exchange(listing.handle, -1));
}

// A folder starts only while the listings ahead leave room.
bool FolderMayStart(const Window& window, const FolderTask& in, const Holdings& charge) {
  return Fits(window, charge, StartedIn(in, kFolderStarted)) &&
         window.held.listing_bytes < window.budget.listing_bytes;
}

// Adds the folder's next subfolder as a task, only where a folder may start:
// past what it holds, the window takes no new task.
bool AddSubfolderAhead(Window& window, FolderTask& folder) {
  std::unique_ptr<FolderTask> added =
      FolderMayStart(window, folder, {}) ? NextFolderTask(folder) : nullptr;
  if (added == nullptr) return false;
  SetCharge(window, added->charge, kFolderWaiting);
  folder.subfolders.push_back(std::move(added));
  return true;
}

// Whether every task of `folder`'s listing has been made.
bool AllTasksMade(const FolderTask& folder) {
  const platform::FolderListing& listing = folder.listing;
  const std::size_t end = listing.entries.size();
  const bool files_made =
      folder.named_on_command_line || NextCacheFileEntry(listing, folder.next_file_entry) == end;
  return !folder.listed ||
         (files_made && NextSubfolderEntry(listing, folder.next_subfolder_entry) == end);
}

// Finds below `folder`, in walk order, the first task a helper may start, and
// charges it: a new cache file of the folder first, then its subfolders. A
// task started in a folder held open opens in it. Each search starts at the
// walk: the settled folders at the front are passed by, not searched again.
bool FindTaskIn(Window& window, FolderTask& folder, StartedTask& found) {
  if (!TasksMayBeMade(folder) || folder.settled) return false;
  const Holdings file_started = StartedIn(folder, kFileStarted);
  if (!window.opens_held_off && Fits(window, {}, file_started)) {
    if (std::unique_ptr<FileTask> file = NextFileTask(folder)) {
      file->in_folder = HeldFor(folder, file->listed_as_file, file->path);
      SetCharge(window, file->charge, StartedCharge(*file, kFileStarted));
      found.file = folder.files.emplace_back(std::move(file)).get();
      LetGoIfDone(window, folder);
      return true;
    }
  }
  bool all_settled = true;
  for (std::size_t i = 0;; ++i) {
    if (i == folder.subfolders.size() && !AddSubfolderAhead(window, folder)) {
      folder.settled = folder.state == TaskState::kDone && all_settled && AllTasksMade(folder);
      return false;
    }
    FolderTask& subfolder = *folder.subfolders[i];
    if (subfolder.state == TaskState::kWaiting && FolderMayStart(window, folder, subfolder.charge)) {
      subfolder.in_folder = HeldFor(folder, subfolder.plain, subfolder.path);
      SetCharge(window, subfolder.charge, StartedCharge(subfolder, kFolderStarted));
      subfolder.state = TaskState::kStarted;
      LetGoIfDone(window, folder);
      found.folder = &subfolder;
      return true;
    }
    if (FindTaskIn(window, subfolder, found)) return true;
    all_settled = all_settled && subfolder.settled;
  }
}

template <typename Task>
void ReleaseDropped(Window& window, std::vector<std::unique_ptr<Task>>& dropped, Task& task) {
  SetCharge(window, task.charge, {});
  std::erase_if(dropped, [&task](const std::unique_ptr<Task>& held) { return held.get() == &task; });
  CheckWindow(window);
}

// A started task waits in `dropped` for its helper; any other goes at once.
template <typename Task>
void DropTask(Window& window, std::vector<std::unique_ptr<Task>>& dropped,
              std::unique_ptr<Task>& task) {
  if (task->state == TaskState::kStarted) {
    task->state = TaskState::kDropped;
    dropped.push_back(std::move(task));
  } else {
    SetCharge(window, task->charge, {});
    task.reset();
  }
}

// Drops the cache files ahead below `folder`: they are added again later.
void DropFilesBelow(Window& window, FolderTask& folder) {
  folder.settled = false;
  if (!folder.files.empty()) folder.next_file_entry = folder.files.front()->entry;
  for (std::unique_ptr<FileTask>& file : folder.files) DropTask(window, window.dropped_files, file);
  folder.files.clear();
  for (const std::unique_ptr<FolderTask>& subfolder : folder.subfolders) {
    DropFilesBelow(window, *subfolder);
  }
}

void DropContents(Window& window, FolderTask& folder) {
  folder.settled = false;
  for (std::unique_ptr<FileTask>& file : folder.files) DropTask(window, window.dropped_files, file);
  folder.files.clear();
  for (std::unique_ptr<FolderTask>& subfolder : folder.subfolders) {
    DropContents(window, *subfolder);
    DropTask(window, window.dropped_folders, subfolder);
  }
  folder.subfolders.clear();
}

}  // namespace

Holdings WindowBudget(std::size_t descriptors, std::uint64_t address_space) {
  return {.descriptors = descriptors,
          .files = std::min(kFirstFilesAhead, platform::kMostFilesHeldAhead),
          .file_bytes = kMostFileBytesAhead,
          .folders = kFirstFoldersAhead,
          .listing_bytes = std::min(address_space / 2, kMostListingBytesAhead)};
}

void ReachFurther(Window& window, std::size_t helpers) {
  Holdings& budget = window.budget;
  budget.folders = std::max(budget.folders, kFoldersAheadPerHelper * helpers);
  budget.files = std::max(budget.files, std::min(helpers, platform::kMostFilesHeldAhead));
  CheckWindow(window);
}

void OpenWindow(Window& window, const std::string& path, const Holdings& budget) {
  window.budget = budget;
  auto start = std::make_unique<FolderTask>();
  start->state = TaskState::kDone;
  start->next_subfolder_entry = 1;
  auto& named = start->subfolders.emplace_back(std::make_unique<FolderTask>());
  named->path = path;
  named->named_on_command_line = true;
  SetCharge(window, named->charge, kFolderWaiting);
  window.entered.push_back(std::move(start));
  CheckWindow(window);
}

bool StartNextTask(Window& window, StartedTask& task) {
  task = {};
  for (auto folder = window.entered.rbegin(); folder != window.entered.rend(); ++folder) {
    if (FindTaskIn(window, **folder, task)) break;
  }
  if (task.folder != nullptr) task.folder->state = TaskState::kStarted;
  if (task.file != nullptr) {
    task.file->state = TaskState::kStarted;
    ++window.files_being_opened;
  }
  const bool found = task.folder != nullptr || task.file != nullptr;
  // A search that found nothing changed nothing but the marks of settled
  // folders, which the next change's check sees.
  if (found) CheckWindow(window);
  return found;
}

std::uint64_t ChargeFileBytes(Window& window, FileTask& task, std::uint64_t size) {
  const std::uint64_t bytes =
      std::min({window.budget.file_bytes - window.held.file_bytes, kMostBytesPerFile, size});
  Holdings charge = task.charge;
  charge.file_bytes += bytes;
  SetCharge(window, task.charge, charge);
  CheckWindow(window);
  return bytes;
}

namespace {

// The rest of a listing read in parts, if any, added to its first part.
void AddRestOfListing(FolderTask& folder, const platform::FolderListing* rest) {
  folder.listing_in_part = false;
  if (rest == nullptr) return;
  platform::FolderListing& listing = folder.listing;
  const std::size_t shift = listing.names.size();
  listing.names += rest->names;
  for (platform::FolderEntry entry : rest->entries) {
    entry.name_offset += shift;
    listing.entries.push_back(entry);
  }
  listing.error_code = rest->error_code;
}

}  // namespace

bool HandInFirstPart(Window& window, FolderTask& folder) {
  if (folder.state == TaskState::kDropped) return false;
  folder.listed = folder.listing_in_part = true;
  const Holdings now = StartedFolderCharge(folder);
  if (!Fits(window, folder.charge, now)) {
    folder.listed = folder.listing_in_part = false;
    return false;
  }
  SetCharge(window, folder.charge, now);
  CheckWindow(window);
  return true;
}

void HandInListing(Window& window, FolderTask& folder, bool listed,
                   const platform::FolderListing* rest) {
  // Closed as this goes, unless the folder holds it.
  std::shared_ptr<const HeldFolder> open = TakeHandle(folder.listing);
  folder.in_folder.reset();
  if (folder.state == TaskState::kDropped) {
    return ReleaseDropped(window, window.dropped_folders, folder);
  }
  AddRestOfListing(folder, rest);
  // The walk waits for a folder it entered: its listing is the walk's.
  const bool entered = window.entered.back().get() == &folder;
  folder.listed = listed;
  folder.state = TaskState::kDone;
  Holdings kept = entered ? Holdings{} : KeptAhead(folder);
  if ((!listed && platform::OpenMayWorkLater(folder.listing.error_code)) ||
      !Fits(window, folder.charge, kept)) {
    // Failed in a way that may pass, or larger than the room left: the walk
    // lists it at its turn, and makes again what was made of a first part.
    DropContents(window, folder);
    folder.next_file_entry = folder.next_subfolder_entry = 0;
    folder.state = TaskState::kLeftToTheWalk;
    folder.listing = {};
    kept = entered ? Holdings{} : kFolderWaiting;
  } else if (open != nullptr && Fits(window, folder.charge, Sum(kept, kHeldOpen))) {
    folder.held = std::move(open);
    kept = Sum(kept, kHeldOpen);
  }
  SetCharge(window, folder.charge, kept);
  LetGoIfDone(window, folder);
  CheckWindow(window);
}

void HandInOpenedFile(Window& window, FileTask& task, platform::MappedFile file,
                      std::uint64_t bytes_asked) {
  --window.files_being_opened;
  if (task.state == TaskState::kDropped) {
    return ReleaseDropped(window, window.dropped_files, task);
  }
  const bool open = file.status == platform::MapStatus::kOpened;
  task.in_folder.reset();
  task.state = TaskState::kDone;
  if (file.status == platform::MapStatus::kOpenFailed &&
      platform::OpenMayWorkLater(file.error_code)) {
    task.state = TaskState::kLeftToTheWalk;
    bytes_asked = 0;
  }
  task.file = std::move(file);
  SetCharge(window, task.charge,
            {.descriptors = open ? 1u : 0u, .files = 1, .file_bytes = bytes_asked});
  CheckWindow(window);
}

FolderTask* EnterNextFolder(Window& window) {
  FolderTask& folder = *window.entered.back();
  std::unique_ptr<FolderTask> next = TakeFront(folder.subfolders);
  if (next == nullptr) next = NextFolderTask(folder);
  LetGoIfDone(window, folder);
  if (next == nullptr) return nullptr;
  // The walk's now, but for the call a helper may still be making on it.
  if (next->state != TaskState::kStarted) SetCharge(window, next->charge, Entered(*next));
  window.entered.push_back(std::move(next));
  CheckWindow(window);
  return window.entered.back().get();
}

bool TakeOverFolder(Window& window, FolderTask& folder) {
  SetCharge(window, folder.charge, Entered(folder));
  const bool walk_lists = folder.state != TaskState::kDone;
  if (walk_lists) folder.state = TaskState::kStarted;
  CheckWindow(window);
  return walk_lists;
}

void FolderListedByTheWalk(Window& window, FolderTask& folder, bool listed,
                           const platform::FolderListing* rest) {
  std::shared_ptr<const HeldFolder> open = TakeHandle(folder.listing);
  AddRestOfListing(folder, rest);
  folder.listed = listed;
  folder.state = TaskState::kDone;
  // The walk's own: what its first part was charged goes.
  SetCharge(window, folder.charge, {});
  if (open != nullptr && Fits(window, folder.charge, kHeldOpen)) {
    folder.held = std::move(open);
    SetCharge(window, folder.charge, kHeldOpen);
  }
  LetGoIfDone(window, folder);
  CheckWindow(window);
}

std::shared_ptr<const HeldFolder> FolderAboveTheWalk(const Window& window) {
  const std::size_t depth = window.entered.size();
  if (depth < 2) return nullptr;
  const FolderTask& folder = *window.entered[depth - 1];
  return HeldFor(*window.entered[depth - 2], folder.plain, folder.path);
}

std::shared_ptr<const HeldFolder> FolderOfTheWalk(const Window& window, const FileTask& file) {
  return HeldFor(*window.entered.back(), file.listed_as_file, file.path);
}

FileTask* TakeNextFile(Window& window) {
  FolderTask& folder = *window.entered.back();
  window.file_in_hand = TakeFront(folder.files);
  if (window.file_in_hand == nullptr) window.file_in_hand = NextFileTask(folder);
  LetGoIfDone(window, folder);
  CheckWindow(window);
  return window.file_in_hand.get();
}

bool TakeOverFile(Window& window, FileTask& file) {
  SetCharge(window, file.charge, {});
  CheckWindow(window);
  return file.state != TaskState::kDone;
}

void LeaveFolder(Window& window) {
  DropContents(window, *window.entered.back());
  SetCharge(window, window.entered.back()->charge, {});
  window.entered.pop_back();
  CheckWindow(window);
}

void DropFilesAhead(Window& window) {
  for (const std::unique_ptr<FolderTask>& folder : window.entered) {
    DropFilesBelow(window, *folder);
  }
  CheckWindow(window);
}

void DropAhead(Window& window) {
  for (const std::unique_ptr<FolderTask>& folder : window.entered) {
    // What is dropped of a folder the walk is in, it comes to again. (The
    // first holds the named folder, which it could not: it is kept.)
    if (!folder->listed) continue;
    if (!folder->files.empty()) folder->next_file_entry = folder->files.front()->entry;
    if (!folder->subfolders.empty()) {
      folder->next_subfolder_entry = folder->subfolders.front()->entry;
    }
    DropContents(window, *folder);
  }
  CheckWindow(window);
}

void DropEverything(Window& window) {
  for (const std::unique_ptr<FolderTask>& folder : window.entered) {
    DropContents(window, *folder);
    SetCharge(window, folder->charge, {});
  }
  window.entered.clear();
  window.file_in_hand.reset();
  CheckWindow(window);
}

// ---- The invariants -----------------------------------------------------------

#ifndef NDEBUG
namespace {

struct Tally {
  Holdings charged;
  std::size_t tasks = 0;
  std::size_t files_being_opened = 0;
};

// What a task ahead is charged in its state, the bytes asked for a file aside.
Holdings ChargeIn(const FileTask& file) {
  const bool open_ahead =
      file.state == TaskState::kDone && file.file.status == platform::MapStatus::kOpened;
  const std::size_t started = StartedCharge(file, kFileStarted).descriptors;
  return {.descriptors = file.state == TaskState::kStarted ? started : open_ahead,
          .files = 1,
          .file_bytes = file.charge.file_bytes};
}

Holdings ChargeIn(const FolderTask& folder) {
  if (folder.state == TaskState::kStarted) return StartedFolderCharge(folder);
  return KeptAhead(folder);
}

// Only a started task opens in a folder held open, and only a listed one is.
template <typename Task>
void CheckHeld(const Task& task) {
  assert(task.in_folder == nullptr || task.state == TaskState::kStarted ||
         task.state == TaskState::kDropped);
  if constexpr (std::is_same_v<Task, FolderTask>) {
    assert(task.held == nullptr || (task.state == TaskState::kDone && task.listed));
  }
}

void CheckBelow(const FolderTask& folder, Tally& tally);

// Checks `folder`'s tasks of one kind: in walk order up to `cursor`, each an
// entry the walk takes there (`takes`), charged as its state says.
template <typename Task>
void CheckTasks(const FolderTask& folder, const std::vector<std::unique_ptr<Task>>& tasks,
                std::size_t cursor, std::size_t (*takes)(const platform::FolderListing&, std::size_t),
                Tally& tally) {
  assert(tasks.empty() || TasksMayBeMade(folder));
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    const Task& task = *tasks[i];
    assert(task.entry < cursor && (i == 0 || task.entry > tasks[i - 1]->entry));
    assert(!folder.listed || takes(folder.listing, task.entry) == task.entry);
    assert(task.state != TaskState::kDropped && task.charge == ChargeIn(task));
    CheckHeld(task);
    tally.charged = Sum(tally.charged, task.charge);
    ++tally.tasks;
    if constexpr (std::is_same_v<Task, FolderTask>) CheckBelow(task, tally);
    if constexpr (std::is_same_v<Task, FileTask>) {
      assert(task.charge.file_bytes <= kMostBytesPerFile);
      tally.files_being_opened += task.state == TaskState::kStarted;
    }
  }
}

void CheckBelow(const FolderTask& folder, Tally& tally) {
  assert(folder.files.empty() || !folder.named_on_command_line);
  const auto settled = [](const std::unique_ptr<FolderTask>& subfolder) {
    return subfolder->settled;
  };
  assert(!folder.settled ||
         (folder.state == TaskState::kDone && AllTasksMade(folder) &&
          std::all_of(folder.subfolders.begin(), folder.subfolders.end(), settled)));
  CheckTasks(folder, folder.files, folder.next_file_entry, NextCacheFileEntry, tally);
  CheckTasks(folder, folder.subfolders, folder.next_subfolder_entry, NextSubfolderEntry, tally);
}

template <typename Task>
void CountDropped(const std::vector<std::unique_ptr<Task>>& dropped, Tally& tally) {
  for (const std::unique_ptr<Task>& task : dropped) {
    assert(task->state == TaskState::kDropped);
    tally.charged = Sum(tally.charged, task->charge);
    if constexpr (std::is_same_v<Task, FileTask>) ++tally.files_being_opened;
  }
}

}  // namespace
#endif

void CheckWindow(const Window& window) {
#ifndef NDEBUG
  // Deep down a chain of folders the walk is in thousands, and a check of
  // every one after every change would make a debug build's walk take the
  // square of the depth: there one change in sixteen is checked.
  if (window.entered.size() > 64 && ++window.changes_unchecked % 16 != 0) return;
  Tally tally;
  for (const std::unique_ptr<FolderTask>& folder : window.entered) {
    // The walk's own, but the innermost while a helper still lists it, and
    // one held open.
    const bool listing = folder == window.entered.back() && folder->state == TaskState::kStarted;
    assert(folder->charge == Entered(*folder) || (listing && folder->charge == ChargeIn(*folder)));
    CheckHeld(*folder);
    tally.charged = Sum(tally.charged, folder->charge);
    CheckBelow(*folder, tally);
  }
  assert(tally.tasks <= window.budget.files + window.budget.folders);
  if (const FileTask* file = window.file_in_hand.get()) {
    tally.charged = Sum(tally.charged, file->charge);
    tally.files_being_opened += file->state == TaskState::kStarted;
  }
  CountDropped(window.dropped_files, tally);
  CountDropped(window.dropped_folders, tally);
  assert(tally.charged == window.held && Fits(window, {}, {}));
  assert(tally.files_being_opened == window.files_being_opened);
#else
  static_cast<void>(window);
#endif
}

}  // namespace artpeel
