// The look-ahead's helper pool: the threads that do the window's tasks, and
// the walk's side of it. Each rule of the pool has a function of its own:
// - growth (AddHelpersIfBehind): eight helpers start, more while the file
//   system's answers are slow and the walk waits, up to what the budgets allow;
// - wakes (WindowMoved, WakeAnotherForTheWalk, WakeOneAfterRest): idle helpers
//   wait for work, and the walk wakes one every few tasks it takes, or at once
//   where it found itself behind while answers are slow;
// - rests (Rests): a helper that quickly listed a folder of folders leaves the
//   next ones to the walk until the walk comes to a cache file;
// - the lock (Relock): tried a while before it is waited for, until the
//   helpers first grow;
// - giving back (GiveBackEverything): a view of a cache file that the address
//   space is too short for is tried again once the look-ahead has let go of
//   all it holds, its helpers' stacks included; the walk goes on alone.
//
// What always holds: every field but `tries_lock_first` (an atomic) is touched
// under `mutex` only, and the window is changed only through its operations
// (walk/look_ahead_window.h), whose invariants they check. A helper does its
// task without the lock and touches only that task's result meanwhile. Helpers
// share ownership of the pool, so the stop waits for none held by a share for
// long (kMostWaitForHelpersMicroseconds).
#include "walk/look_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "cache/cache_reader.h"
#include "walk/look_ahead_window.h"
#include "walk/walk_order.h"

namespace artpeel {

namespace {

// Helpers mostly wait on round trips, not on a processor, and each costs only
// its small stack. Eight keep a local disk or a near share busy, and more cost
// there: more threads woken to share work that takes microseconds. A far
// share answers each request after a round trip of milliseconds and serves
// many at once (NFS, SMB): there the helpers grow up to kMostHelpers, one for
// each request a server such as the bench's keeps under way at once (256),
// and the window reaches further with them (ReachFurther).
constexpr std::size_t kFirstHelpers = 8;
constexpr std::size_t kMostHelpers = 256;
// A call to the file system that takes this long waited for a round trip (or
// a disk's seek): far longer than a disk's cached answer takes.
constexpr std::uint64_t kSlowTaskMicroseconds = 1000;
// Where tasks take this long on average, every one waits for round trips to
// a share far away, and the helpers grow kFarShareGrowth-fold at a time: on
// the way to the hundreds that keep such a share busy, each step waits for a
// task or so at their number.
constexpr std::uint64_t kFarShareMicroseconds = 5000;
constexpr std::size_t kFarShareGrowth = 4;
// Where the first listing's parts took two such round trips each, the growth
// at once skips a step (GrowAtOnceOnAFarShare).
constexpr std::size_t kFartherShareGrowth = kFarShareGrowth * kFarShareGrowth;
// More slow tasks in a row than this are taken for round trips, not a busy
// machine: the helpers grow (AddHelpersIfBehind).
constexpr std::size_t kSlowTasksBeforeGrowth = 2;
// Where the slow tasks took this much longer on average after the helpers last
// grew, the file system serves no more requests at once than it got (sshfs
// keeps some ten under way): more helpers would only queue there, the walk's
// own requests behind them.
constexpr std::uint64_t kSaturatedPercent = 150;
// Where the process took more than this share of one processor's time since
// the helpers last grew, their tasks were slow for want of a processor (a busy
// machine, or a run under valgrind, which runs one thread at a time), not for
// round trips: more helpers would only wait longer. Waiting on a share, the
// process took under half of one in each step of growth (10 ms away, 0.03 to
// 0.44 with 128 helpers woken in turn; 2 ms away, 0.1 to 0.5), and under
// valgrind 0.93 where two such runs shared two processors.
constexpr std::uint64_t kProcessorBoundPercent = 75;
// Waking a helper is a system call on both sides: the walk wakes one after
// this many tasks taken, or at once when it finds the helpers behind it. The
// one woken makes up what the walk took, while half of the first 64 cache
// files ahead are still there to take (every 16 tasks, a warm run made some
// 1,200 more wakes and waits).
constexpr std::size_t kTakesPerWake = 32;
// How long the walk waits for helpers to end when it gives back what they
// hold, and at the stop, where those that ended are joined and their stacks
// go: told to stop, they end at once, and one in a call longer than that is
// held by a share that stopped answering.
constexpr std::uint64_t kMostWaitForHelpersMicroseconds = 1000000;
// Asking a file's bytes into the cache is a call, also where they are there
// already (a library read a moment ago): every this many files opened ahead,
// one asks whether its bytes are there, and until the next one asks, the files
// are asked for their bytes only if they were not. The same one asks whether
// the file system caches attributes (MapAtItsTurn).
constexpr std::size_t kOpensPerCacheQuestion = 16;
// A thread tries the pool's lock this many times before it waits for it. In a
// run from the cache every task takes microseconds and the lock is held for
// less: a wait, two system calls and a thread switch, ends sooner by trying
// again. Once the helpers have grown, their tasks wait on round trips, and
// hundreds of helpers trying would take the processors a far share's run is
// bound by: they wait at once (`tries_lock_first`).
constexpr int kTriesBeforeWait = 200;

}  // namespace

struct LookAhead {
  std::weak_ptr<LookAhead> self;  // for the helpers started at once (GrowAtOnceOnAFarShare)
  std::mutex mutex;
  std::atomic<bool> tries_lock_first{true};  // until the helpers first grow
  std::condition_variable work_ready;  // idle and resting helpers wait here
  std::condition_variable handed_in;   // the walk waits here for a helper
  Window window;
  bool stopping = false;  // at the stop, or once all was given back
  bool walk_awaits_task = false;   // one that a helper is on
  bool walk_awaits_opens = false;  // every open under way to end
  std::size_t helpers = 0;         // started
  bool grown_at_once = false;      // GrowAtOnceOnAFarShare
  // How many times the helpers grew. A task started before the last growth
  // ran beside fewer helpers: it is not timed for the next (JudgeLastGrowth).
  std::size_t growths = 0;
  bool last_growth_judged = false;  // JudgeLastGrowth
  // The clock and the process's processor time when the helpers last grew,
  // or first started (ProcessorBound).
  std::uint64_t grown_at = 0;
  std::uint64_t processor_when_grown = 0;
  std::size_t most_helpers = 0;    // as many as the budgets let start
  std::size_t idle_helpers = 0;    // waiting for work, or resting
  std::size_t helpers_before_growth = 0;  // their number before the last growth
  // As many as may be at work at once: all, unless the last growth made the
  // file system slower at its work (JudgeLastGrowth); the rest wait, idle.
  std::size_t most_at_work = SIZE_MAX;
  bool wake_one_at_next_cache_file = false;  // a helper rests
  std::size_t slow_tasks_in_a_row = 0;
  // The slow tasks since the helpers last grew, and their mean before it, of
  // each kind (kOpens, kListings, kFirstParts): a listing makes more round
  // trips than an open, so a mean of both would move with the mix.
  std::uint64_t slow_task_microseconds[3] = {};
  std::size_t slow_tasks_timed[3] = {};
  std::uint64_t mean_before_growth[3] = {};
  std::size_t takes_since_wake = 0;
  // What the last file opened ahead that was asked said (PlanBytesAhead):
  // whether its bytes were in the cache, and whether its attributes were.
  bool bytes_in_cache = false;
  bool attributes_cached = false;
  std::size_t opens_since_asked = kOpensPerCacheQuestion - 1;  // the first is asked
};

namespace {

using Lock = std::unique_lock<std::mutex>;

void Relock(LookAhead& look_ahead, Lock& lock) {
  if (look_ahead.tries_lock_first.load(std::memory_order_relaxed)) {
    for (int tries = 0; tries < kTriesBeforeWait; ++tries) {
      if (lock.try_lock()) return;
    }
  }
  lock.lock();
}

Lock TakeLock(LookAhead& look_ahead) {
  Lock lock(look_ahead.mutex, std::defer_lock);
  Relock(look_ahead, lock);
  return lock;
}

// The kinds of task, as their times are kept apart; the first parts of
// listings read in parts are timed too, for the growth at once.
constexpr std::size_t kOpens = 0;
constexpr std::size_t kListings = 1;
constexpr std::size_t kFirstParts = 2;
// Where so many slow tasks of a kind were timed, their mean is the file
// system's, not one odd answer's.
constexpr std::size_t kTimedForMean = 2;

// What a helper's task came to.
struct TaskOutcome {
  std::uint64_t microseconds = 0;  // what the file system took
  std::size_t kind = 0;            // kOpens or kListings
  bool no_cache_files = false;     // a folder listed, or not, with none to open
  std::size_t growths = 0;         // the helpers' growths when it started
  bool slow() const { return microseconds >= kSlowTaskMicroseconds; }
};

std::uint64_t MicrosecondsSince(std::uint64_t start) {
  return platform::MonotonicMicroseconds() - start;
}

bool SlowSince(std::uint64_t start) { return MicrosecondsSince(start) >= kSlowTaskMicroseconds; }

std::size_t HelpersAtWork(const LookAhead& look_ahead) {
  return look_ahead.helpers - look_ahead.idle_helpers;
}

// Whether an idle helper woken now may go to work.
bool MayWakeAHelper(const LookAhead& look_ahead) {
  return look_ahead.idle_helpers > 0 && HelpersAtWork(look_ahead) < look_ahead.most_at_work;
}

void TellTheWalk(LookAhead& look_ahead) {
  if (look_ahead.walk_awaits_task || look_ahead.walk_awaits_opens) {
    look_ahead.handed_in.notify_all();
  }
}

// The handle of the folder held open that a task opens in, or -1.
std::intptr_t HandleOf(const std::shared_ptr<const HeldFolder>& folder) {
  return folder != nullptr ? folder->handle : -1;
}

// A helper keeps the folder its last task opened in (`in_folder`) until it
// starts its next task or waits: where that was the last hold on it, the
// folder is closed then, outside the lock, and no other thread waits for it.
// One descriptor a helper, between tasks, out of what the budget leaves free.
struct HelperHold {
  std::shared_ptr<const HeldFolder> last_folder;
};

// How long the two parts of a listing read in parts took.
struct ListingTimes {
  std::uint64_t first_part = 0;
  std::uint64_t rest = 0;
  std::size_t growths = 0;  // the helpers' growths when it started
};

void GrowAtOnceOnAFarShare(LookAhead& look_ahead, Lock& lock, const ListingTimes& took);

// Reads the rest of a listing whose first part is in: into `folder.listing`,
// or, where the first part took a far share's round trip (kFarShareMicroseconds)
// and the window takes it, into `rest`, the first part handed in meanwhile
// (true). On a far share every listing on the walk's first way down then waits
// one round trip less, and the helpers list and open what a first part holds
// that much sooner. Nearer, that gains little and costs a wake and the lock,
// and where the file system looks up no name in a folder while it is read
// (FUSE without parallel directory operations: sshfs) the helpers woken for
// the first part only wait: sshfs at 2 ms took 1.14x as long with it.
// Where the walk lists a folder itself, no helper joins in of its own accord
// (WakeAnotherForTheWalk): the walk wakes every idle one (`wake_all`).
// `took` is the first part's time, and then the rest's.
bool ReadInParts(LookAhead& look_ahead, Lock& lock, FolderTask& folder, ListingTimes& took,
                 bool wake_all, platform::FolderListing& rest) {
  const std::intptr_t handle = folder.listing.handle;
  folder.listing.more_to_read = false;
  bool handed_in = false;
  if (took.first_part >= kFarShareMicroseconds) {
    Relock(look_ahead, lock);
    handed_in = HandInFirstPart(look_ahead.window, folder);
    if (handed_in && took.growths == look_ahead.growths) {
      look_ahead.slow_task_microseconds[kFirstParts] += took.first_part;
      ++look_ahead.slow_tasks_timed[kFirstParts];
    }
    if (handed_in && wake_all) look_ahead.work_ready.notify_all();
    if (handed_in && !wake_all && MayWakeAHelper(look_ahead)) look_ahead.work_ready.notify_one();
    lock.unlock();
  }
  const std::uint64_t start = platform::MonotonicMicroseconds();
  platform::ListRestOfFolder(handle, handed_in ? rest : folder.listing);
  took.rest = MicrosecondsSince(start);
  return handed_in;
}

TaskOutcome ListAhead(LookAhead& look_ahead, Lock& lock, FolderTask& folder, HelperHold& hold) {
  const std::size_t growths = look_ahead.growths;
  lock.unlock();
  hold.last_folder = folder.in_folder;
  const std::uint64_t start = platform::MonotonicMicroseconds();
  // Kept open for the tasks below it, which the window then holds or closes.
  const bool listed = platform::ListFolder(folder.path.c_str(), folder.listing,
                                           HandleOf(folder.in_folder), true, true);
  platform::FolderListing rest;
  ListingTimes parts{MicrosecondsSince(start), 0, growths};
  const bool in_parts = listed && folder.listing.more_to_read &&
                        ReadInParts(look_ahead, lock, folder, parts, false, rest);
  const std::uint64_t took = MicrosecondsSince(start);
  const std::size_t end = folder.listing.entries.size();
  const bool no_cache_files =
      !in_parts && (!listed || NextCacheFileEntry(folder.listing, 0) == end);
  if (no_cache_files && NextSubfolderEntry(folder.listing, 0) == end) {
    // Nothing to open in it: closed here rather than under the lock.
    platform::CloseFolder(std::exchange(folder.listing.handle, -1));
  }
  Relock(look_ahead, lock);
  HandInListing(look_ahead.window, folder, listed, in_parts ? &rest : nullptr);
  TellTheWalk(look_ahead);
  if (in_parts) GrowAtOnceOnAFarShare(look_ahead, lock, parts);
  return {took, kListings, no_cache_files, growths};
}

// What the helper that opens a file ahead does about its bytes.
enum class BytesAhead { kLeave, kAsk, kAskIfNotThere };

// Bytes ahead: the files opened ahead are asked into the cache while the last
// one that asked said they were not there (kOpensPerCacheQuestion).
BytesAhead PlanBytesAhead(LookAhead& look_ahead) {
  if (++look_ahead.opens_since_asked >= kOpensPerCacheQuestion) {
    look_ahead.opens_since_asked = 0;
    return BytesAhead::kAskIfNotThere;
  }
  return look_ahead.bytes_in_cache ? BytesAhead::kLeave : BytesAhead::kAsk;
}

// A file whose bytes are in the cache already is mapped ahead too, and its
// headers read, so that the walk reads them at its turn without a page fault.
void MapAndBringIn(platform::MappedFile& file, bool size_asked) {
  if (platform::MapAhead(file, size_asked)) BringHeadersIn(file);
}

TaskOutcome OpenAhead(LookAhead& look_ahead, Lock& lock, FileTask& task, HelperHold& hold) {
  const BytesAhead plan = PlanBytesAhead(look_ahead);
  const std::size_t growths = look_ahead.growths;
  lock.unlock();
  hold.last_folder = task.in_folder;
  const std::uint64_t start = platform::MonotonicMicroseconds();
  platform::MappedFile file = platform::OpenFileReadOnly(task.path.c_str(), task.listed_as_file,
                                                        HandleOf(task.in_folder));
  const std::uint64_t took = MicrosecondsSince(start);
  std::uint64_t asked = 0;
  if (file.status == platform::MapStatus::kOpened && plan != BytesAhead::kLeave &&
      platform::ReadOpenedFileSize(file)) {
    const bool asks = plan == BytesAhead::kAskIfNotThere;
    const bool there = asks && platform::InCacheAlready(file);
    const bool cached = asks && platform::AttributesCached(file);
    Relock(look_ahead, lock);
    if (asks) {
      look_ahead.bytes_in_cache = there;
      look_ahead.attributes_cached = cached;
    }
    const std::uint64_t bytes = there ? 0 : ChargeFileBytes(look_ahead.window, task, file.size);
    lock.unlock();
    asked = platform::ReadIntoCache(file, bytes);
    if (there) MapAndBringIn(file, true);
  } else if (file.status == platform::MapStatus::kOpened && plan == BytesAhead::kLeave) {
    MapAndBringIn(file, false);
  }
  Relock(look_ahead, lock);
  HandInOpenedFile(look_ahead.window, task, std::move(file), asked);
  TellTheWalk(look_ahead);
  return {took, kOpens, false, growths};
}

void WaitForWork(LookAhead& look_ahead, Lock& lock, HelperHold& hold) {
  if (hold.last_folder != nullptr) {
    lock.unlock();
    hold.last_folder.reset();
    Relock(look_ahead, lock);
    // The stop may have woken every helper meanwhile.
    if (look_ahead.stopping) return;
  }
  ++look_ahead.idle_helpers;
  look_ahead.work_ready.wait(lock);
  --look_ahead.idle_helpers;
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

// How much longer, in percent, the slow tasks of the kind that slowed most
// took on average since the helpers last grew than before; 0 where none was
// timed enough to say.
std::uint64_t SlowdownPercent(const LookAhead& look_ahead) {
  std::uint64_t most = 0;
  for (const std::size_t kind : {kOpens, kListings, kFirstParts}) {
    const std::size_t timed = look_ahead.slow_tasks_timed[kind];
    const std::uint64_t before = look_ahead.mean_before_growth[kind];
    if (timed >= kTimedForMean && before != 0) {
      most = std::max(most, look_ahead.slow_task_microseconds[kind] / timed * 100 / before);
    }
  }
  return most;
}

// Judges the last growth once, as soon as half a task each was timed since.
// Where it made the slow tasks take much longer, the file system serves no
// more at once: the helpers grow no more. Where they slowed more than the
// helpers grew, it got through fewer in a while than before (sshfs, which
// serves some ten at once, grown fourfold past them): the helpers at work fall
// back to their number before, the others wait idle. Only once: the tasks
// timed later share the file system with the readahead and closes of all the
// files opened meanwhile, and a verdict on them weighs those, not the growth
// (on the bench's latency file system, full at 256 helpers, a later verdict
// took them back to 128 at work, and the run 1.04x as long).
void JudgeLastGrowth(LookAhead& look_ahead) {
  if (look_ahead.last_growth_judged) return;
  const std::uint64_t slowdown = SlowdownPercent(look_ahead);
  if (slowdown == 0) return;  // too few timed yet to say
  look_ahead.last_growth_judged = true;
  if (slowdown <= kSaturatedPercent) return;
  look_ahead.most_helpers = look_ahead.helpers;
  if (slowdown * look_ahead.helpers_before_growth > 100 * look_ahead.helpers) {
    look_ahead.most_at_work = look_ahead.helpers_before_growth;
  }
}

// Whether the process took more than kProcessorBoundPercent of a processor
// since the helpers last grew.
bool ProcessorBound(const LookAhead& look_ahead) {
  const std::uint64_t now = platform::MonotonicMicroseconds();
  const std::uint64_t processor = platform::ProcessorMicroseconds();
  const std::uint64_t took = now > look_ahead.grown_at ? now - look_ahead.grown_at : 0;
  const std::uint64_t busy = processor > look_ahead.processor_when_grown
                                 ? processor - look_ahead.processor_when_grown
                                 : 0;
  return busy * 100 > took * kProcessorBoundPercent;
}

// Starts `more` helpers, and lets the window reach as far as they keep busy.
void Grow(const std::shared_ptr<LookAhead>& share, Lock& lock, std::size_t more) {
  LookAhead& look_ahead = *share;
  look_ahead.helpers_before_growth = look_ahead.helpers;
  look_ahead.tries_lock_first.store(false, std::memory_order_relaxed);
  look_ahead.helpers += more;
  ++look_ahead.growths;
  look_ahead.last_growth_judged = false;
  look_ahead.grown_at = platform::MonotonicMicroseconds();
  look_ahead.processor_when_grown = platform::ProcessorMicroseconds();
  ReachFurther(look_ahead.window, look_ahead.helpers);
  lock.unlock();
  const std::size_t started = StartHelpers(share, more);
  Relock(look_ahead, lock);
  if (started < more) {
    // The system has no more threads to give: no more are asked for.
    look_ahead.helpers -= more - started;
    look_ahead.most_helpers = look_ahead.helpers;
  }
}

// Growth. While a few tasks in a row were slow and the walk waits with every
// helper at work, the helpers fall behind for want of requests under way: as
// many again start, up to the most the budgets allow. A disk, which answers in
// microseconds, never gets more; a slow task or two (a busy machine that left
// a helper waiting for a processor) get none either, nor do many where the
// process kept a processor busy meanwhile (ProcessorBound). They grow again only
// after some half a task each, started at their number (not before the last
// growth, beside fewer helpers), and not at all once that made each task take
// much longer (JudgeLastGrowth). Where tasks take kFarShareMicroseconds, three
// times as many start: on the way to the hundreds that keep a far share busy,
// every step waits for round trips.
void AddHelpersIfBehind(const std::shared_ptr<LookAhead>& share, Lock& lock,
                        const TaskOutcome& outcome) {
  LookAhead& look_ahead = *share;
  look_ahead.slow_tasks_in_a_row = outcome.slow() ? look_ahead.slow_tasks_in_a_row + 1 : 0;
  if (outcome.slow() && outcome.growths == look_ahead.growths) {
    look_ahead.slow_task_microseconds[outcome.kind] += outcome.microseconds;
    ++look_ahead.slow_tasks_timed[outcome.kind];
  }
  const std::size_t timed =
      look_ahead.slow_tasks_timed[kOpens] + look_ahead.slow_tasks_timed[kListings];
  if (timed * 2 >= look_ahead.helpers) JudgeLastGrowth(look_ahead);
  if (look_ahead.slow_tasks_in_a_row <= kSlowTasksBeforeGrowth || !look_ahead.walk_awaits_task ||
      look_ahead.idle_helpers > 0 || look_ahead.helpers == look_ahead.most_helpers ||
      timed * 2 < look_ahead.helpers || look_ahead.stopping) {
    return;
  }
  if (ProcessorBound(look_ahead)) {
    look_ahead.slow_tasks_in_a_row = 0;
    return;
  }
  const bool far = timed > 0 && (look_ahead.slow_task_microseconds[kOpens] +
                                 look_ahead.slow_task_microseconds[kListings]) /
                                        timed >=
                                    kFarShareMicroseconds;
  for (const std::size_t kind : {kOpens, kListings, kFirstParts}) {
    if (look_ahead.slow_tasks_timed[kind] >= kTimedForMean) {
      look_ahead.mean_before_growth[kind] =
          look_ahead.slow_task_microseconds[kind] / look_ahead.slow_tasks_timed[kind];
    }
    look_ahead.slow_task_microseconds[kind] = 0;
    look_ahead.slow_tasks_timed[kind] = 0;
  }
  look_ahead.slow_tasks_in_a_row = 0;
  Grow(share, lock,
       std::min(look_ahead.helpers * (far ? kFarShareGrowth - 1 : 1),
                look_ahead.most_helpers - look_ahead.helpers));
}

// Growth at once. On a share the named folder's listing comes before any
// other task can start: a listing read in parts that took as long as a far
// share's answers in each part (one slow call alone may be slowed by anything
// else, such as the start of a program run under valgrind) grows the helpers
// then, once, as they would grow after their own first tasks some round trips
// later; not where they grew by then (sshfs, whose first listings are slow,
// may have let them grow to where it serves no more). Where each part took
// two far round trips (10 ms and more), each later step would wait longer
// still: they grow kFartherShareGrowth-fold; not where the share answers the
// rest from what it fetched for the first part, as sshfs mostly does. Where the
// first parts then take much longer (a share that serves few at once), growth
// stops, or steps back (JudgeLastGrowth).
void GrowAtOnceOnAFarShare(LookAhead& look_ahead, Lock& lock, const ListingTimes& took) {
  const std::uint64_t each_part_at_least = std::min(took.first_part, took.rest);
  if (each_part_at_least < kFarShareMicroseconds || look_ahead.grown_at_once ||
      look_ahead.growths > 0 || look_ahead.stopping) {
    return;
  }
  look_ahead.grown_at_once = true;
  if (ProcessorBound(look_ahead)) return;
  look_ahead.mean_before_growth[kFirstParts] = took.first_part;
  look_ahead.slow_task_microseconds[kFirstParts] = 0;
  look_ahead.slow_tasks_timed[kFirstParts] = 0;
  const std::size_t growth =
      each_part_at_least >= 2 * kFarShareMicroseconds ? kFartherShareGrowth : kFarShareGrowth;
  Grow(look_ahead.self.lock(), lock,
       std::min(look_ahead.helpers * (growth - 1), look_ahead.most_helpers - look_ahead.helpers));
}

// Wakes. A helper that starts a task while the walk waits wakes another to
// join in, as far as the file system makes them wait.
void WakeAnotherForTheWalk(LookAhead& look_ahead) {
  if (look_ahead.walk_awaits_task && MayWakeAHelper(look_ahead)) {
    look_ahead.work_ready.notify_one();
  }
}

// Rests. A folder of folders listed from a warm cache: the walk lists the next
// ones as fast itself, and handing each over would cost it more (a tree of
// 50,000 folders took half again as long). The helper rests until the walk
// wakes it, at the latest when it takes a cache file (WakeOneAfterRest).
bool Rests(const LookAhead& look_ahead, const TaskOutcome& outcome) {
  return !outcome.slow() && outcome.no_cache_files && !look_ahead.stopping;
}

void RunHelper(void* context) {
  // The pool lives until its last helper has let go of it, and the lock goes
  // before it does.
  const std::unique_ptr<std::shared_ptr<LookAhead>> share(
      static_cast<std::shared_ptr<LookAhead>*>(context));
  LookAhead& look_ahead = **share;
  HelperHold hold;  // let go of before the lock, which goes before the pool
  Lock lock = TakeLock(look_ahead);
  while (!look_ahead.stopping) {
    StartedTask task;
    if (HelpersAtWork(look_ahead) > look_ahead.most_at_work ||
        !StartNextTask(look_ahead.window, task)) {
      WaitForWork(look_ahead, lock, hold);
      continue;
    }
    WakeAnotherForTheWalk(look_ahead);
    const TaskOutcome outcome = task.folder != nullptr
                                    ? ListAhead(look_ahead, lock, *task.folder, hold)
                                    : OpenAhead(look_ahead, lock, *task.file, hold);
    AddHelpersIfBehind(*share, lock, outcome);
    if (Rests(look_ahead, outcome)) {
      look_ahead.wake_one_at_next_cache_file = true;
      WaitForWork(look_ahead, lock, hold);
    }
  }
}

// Wakes. The walk has taken a task: the window has moved on by one. An idle
// helper is woken after every few, and at once when the walk found the task
// not done while the file system's answers are slow (`behind`).
void WindowMoved(LookAhead& look_ahead, bool behind) {
  if (!MayWakeAHelper(look_ahead)) return;
  if ((behind && look_ahead.slow_tasks_in_a_row > 0) ||
      ++look_ahead.takes_since_wake >= kTakesPerWake) {
    look_ahead.takes_since_wake = 0;
    look_ahead.work_ready.notify_one();
  }
}

// Wakes. The walk has cache files to dump now, more than listing to do: after
// helpers rested on folders of folders, one looks ahead again (and, as it
// goes, wakes others while the walk waits).
void WakeOneAfterRest(LookAhead& look_ahead) {
  if (!look_ahead.wake_one_at_next_cache_file) return;
  look_ahead.wake_one_at_next_cache_file = false;
  look_ahead.work_ready.notify_one();
}

template <typename Task>
void WaitUntilHandedIn(LookAhead& look_ahead, Lock& lock, const Task& task) {
  if (task.state != TaskState::kStarted) return;
  look_ahead.walk_awaits_task = true;
  look_ahead.handed_in.wait(lock, [&task] { return task.state != TaskState::kStarted; });
  look_ahead.walk_awaits_task = false;
}

bool MayWorkLater(const platform::MappedFile& file) {
  return (file.status == platform::MapStatus::kOpenFailed ||
          file.status == platform::MapStatus::kViewFailed) &&
         platform::OpenMayWorkLater(file.error_code);
}

// The walk's own open of a cache file at its turn. One that fails in a way
// that may pass is made again once every file opened ahead is let go, and
// while no more is, with patience then for another program's hold to pass:
// on Windows the look-ahead may hold the file itself, by another path, and
// lets go of it at once. What fails then would fail without helpers too.
platform::MappedFile OpenAtItsTurn(LookAhead& look_ahead, const CacheFileInHand& cache_file,
                                   std::intptr_t in_folder) {
  const char* path = cache_file.path.c_str();
  platform::MappedFile file =
      platform::OpenFileReadOnly(path, cache_file.listed_as_file, in_folder);
  if (!MayWorkLater(file)) return file;
  Lock lock = TakeLock(look_ahead);
  look_ahead.window.opens_held_off = true;
  DropFilesAhead(look_ahead.window);
  look_ahead.walk_awaits_opens = true;
  look_ahead.handed_in.wait(lock, [&] { return look_ahead.window.files_being_opened == 0; });
  look_ahead.walk_awaits_opens = false;
  lock.unlock();
  file = platform::OpenCacheFileAtItsTurn(path, cache_file.listed_as_file);
  Relock(look_ahead, lock);
  look_ahead.window.opens_held_off = false;
  WindowMoved(look_ahead, true);
  return file;
}

// The helpers are told to stop once `drop` has let go of what the window
// holds, and those that end within kMostWaitForHelpersMicroseconds are joined.
void StopHelpers(LookAhead& look_ahead, void (*drop)(Window& window)) {
  {
    const std::lock_guard<std::mutex> lock(look_ahead.mutex);
    look_ahead.stopping = true;
    drop(look_ahead.window);
  }
  look_ahead.work_ready.notify_all();
  platform::AwaitHelpersEnded(kMostWaitForHelpersMicroseconds);
}

// Giving back. The helpers end and the window lets go of all it holds ahead,
// for good: the walk goes on alone.
void GiveBackEverything(LookAhead& look_ahead) {
  StopHelpers(look_ahead, DropAhead);
  platform::GiveBackHelperMemory();
}

// Maps the cache file in hand at its turn. A view that fails in a way that may
// pass (the address space is short) is tried once more after the look-ahead,
// and the heap, have given back what they can: what the walk maps alone, it
// maps with helpers.
//
// A file opened ahead is mapped at the type and size it has now, as the file
// system tells them. Where it caches attributes (a disk, most shares), what it
// has cached serves: on a share that is what it knew when the file was opened
// ahead, a moment before, within its own rules, and no server is waited for at
// each file's turn (which, for files opened more than the share's caching time
// ahead, would hold the walk up a round trip each and put it further behind).
// Where it does not (NFS mounted noac, FUSE with attr_timeout=0), its server is
// asked, a round trip at each file's turn, as for every question there.
// `cached`: the file was opened ahead where attributes are cached.
void MapAtItsTurn(LookAhead& look_ahead, CacheFileInHand& cache_file, bool cached) {
  if (cache_file.file.status != platform::MapStatus::kOpened) return;
  platform::MapOpenedFile(cache_file.file, cached);
  if (!MayWorkLater(cache_file.file)) return;
  GiveBackEverything(look_ahead);
  cache_file.file =
      platform::OpenCacheFileAtItsTurn(cache_file.path.c_str(), cache_file.listed_as_file);
  if (cache_file.file.status == platform::MapStatus::kOpened) {
    platform::MapOpenedFile(cache_file.file);
  }
}

}  // namespace

LookAheadHandle StartLookAhead(const std::string& path) {
  auto look_ahead = std::make_shared<LookAhead>();
  look_ahead->self = look_ahead;
  // Descriptors go to the helpers at work first, half of them at most, then
  // to the files opened ahead; under a low limit no helper starts, and the
  // walk lists and opens everything itself. Each helper's stack and the
  // listings kept ahead come out of the address space the look-ahead may take.
  const std::size_t descriptors = platform::DescriptorsForLookAhead();
  const std::uint64_t address_space = platform::AddressSpaceForLookAhead();
  OpenWindow(look_ahead->window, path, WindowBudget(descriptors, address_space));
  const std::uint64_t stacks = address_space / 2 / platform::kHelperStackBytes;
  look_ahead->most_helpers = static_cast<std::size_t>(std::min<std::uint64_t>(
      {descriptors / (2 * kDescriptorsPerHelper), stacks, kMostHelpers}));
  look_ahead->helpers = std::min(look_ahead->most_helpers, kFirstHelpers);
  const std::size_t first = look_ahead->helpers;
  look_ahead->grown_at = platform::MonotonicMicroseconds();
  look_ahead->processor_when_grown = platform::ProcessorMicroseconds();
  const std::size_t started = StartHelpers(look_ahead, first);
  if (started < first) {
    // The walk does without the rest.
    const std::lock_guard<std::mutex> lock(look_ahead->mutex);
    look_ahead->helpers = look_ahead->most_helpers = started;
  }
  return LookAheadHandle(std::move(look_ahead));
}

LookAheadHandle::LookAheadHandle(std::shared_ptr<LookAhead> started)
    : look_ahead(std::move(started)) {}

LookAheadHandle::~LookAheadHandle() {
  // The pool goes with its last helper, perhaps this very moment.
  StopHelpers(*look_ahead, DropEverything);
}

EnteredFolder EnterNextFolder(LookAhead& look_ahead) {
  Lock lock = TakeLock(look_ahead);
  FolderTask* const folder = EnterNextFolder(look_ahead.window);
  if (folder == nullptr) return {};
  const bool behind = folder->state != TaskState::kDone;
  WaitUntilHandedIn(look_ahead, lock, *folder);
  if (TakeOverFolder(look_ahead.window, *folder)) {
    // No helper listed it: the walk does, and helpers look below it after.
    const std::shared_ptr<const HeldFolder> above = FolderAboveTheWalk(look_ahead.window);
    const std::size_t growths = look_ahead.growths;
    lock.unlock();
    const std::uint64_t start = platform::MonotonicMicroseconds();
    const bool listed = platform::ListFolderAtItsTurn(folder->path.c_str(), folder->listing,
                                                      HandleOf(above), true, true);
    platform::FolderListing rest;
    ListingTimes parts{MicrosecondsSince(start), 0, growths};
    const bool in_parts = listed && folder->listing.more_to_read &&
                          ReadInParts(look_ahead, lock, *folder, parts, true, rest);
    const bool slow = SlowSince(start);
    Relock(look_ahead, lock);
    FolderListedByTheWalk(look_ahead.window, *folder, listed, in_parts ? &rest : nullptr);
    if (in_parts) GrowAtOnceOnAFarShare(look_ahead, lock, parts);
    // A slow answer the walk waited for itself: the helpers, idle since they
    // found nothing to do at the start, are woken below (WindowMoved) for what
    // the listing gave them, and not only after the next few takes.
    if (slow) ++look_ahead.slow_tasks_in_a_row;
  }
  WindowMoved(look_ahead, behind);
  EnteredFolder entered;
  entered.look_ahead = &look_ahead;
  entered.path = &folder->path;
  entered.beyond_path_limit = folder->beyond_path_limit;
  entered.listed = folder->listed;
  entered.listing = &folder->listing;
  return entered;
}

EnteredFolder::EnteredFolder(EnteredFolder&& other) noexcept
    : look_ahead(std::exchange(other.look_ahead, nullptr)),
      path(other.path),
      beyond_path_limit(other.beyond_path_limit),
      listed(other.listed),
      listing(other.listing) {}

EnteredFolder::~EnteredFolder() {
  if (look_ahead == nullptr) return;
  const Lock lock = TakeLock(*look_ahead);
  LeaveFolder(look_ahead->window);
  WindowMoved(*look_ahead, false);
}

bool TakeNextCacheFile(LookAhead& look_ahead, CacheFileInHand& cache_file) {
  Lock lock = TakeLock(look_ahead);
  FileTask* const file = TakeNextFile(look_ahead.window);
  if (file == nullptr) return false;
  const bool behind = file->state != TaskState::kDone;
  WaitUntilHandedIn(look_ahead, lock, *file);
  const bool open_here = TakeOverFile(look_ahead.window, *file);
  WindowMoved(look_ahead, behind);
  WakeOneAfterRest(look_ahead);
  const std::shared_ptr<const HeldFolder> in_folder =
      open_here ? FolderOfTheWalk(look_ahead.window, *file) : nullptr;
  cache_file.path = std::move(file->path);
  cache_file.listed_as_file = file->listed_as_file;
  cache_file.file = std::move(file->file);
  const bool cached = !open_here && look_ahead.attributes_cached;
  lock.unlock();
  // Not opened ahead, or its open there may have failed only because of what
  // the look-ahead held: it is opened now, at its turn.
  if (open_here) cache_file.file = OpenAtItsTurn(look_ahead, cache_file, HandleOf(in_folder));
  MapAtItsTurn(look_ahead, cache_file, cached);
  return true;
}

}  // namespace artpeel
