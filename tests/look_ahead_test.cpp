// The real walk (DumpFolder, its look-ahead and window) against a fake of the
// platform's listing, open, map and threads, linked in its place, with a
// stand-in for the reader: scripted trees whose calls take varying times, fail
// ahead of their turn with EMFILE or ENOMEM, never return, or whose views fit
// the address space only once the helpers are gone. Whatever the helpers do,
// the walk must take what a walk without helpers takes, in the same order, and
// the look-ahead must stay within its bounds.
#include <gtest/gtest.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cache/cache_reader.h"
#include "walk/folder_walk.h"
#include "walk/walk_order.h"

namespace artpeel {
namespace {

struct Node {
  bool folder = false;
  std::vector<std::string> names;  // a folder's entries, in listing order
  std::uint64_t id = 0;            // a folder's; links share it
  int ahead_error = 0;  // what a helper's call fails with; the walk's succeeds
  bool hangs = false;   // a helper's call returns only at the end of the test
  bool needs_room = false;  // its view fits only while no helper runs
  int delay_us = 0;
};

// A call's time beyond its round trip; crowded, past 8 under way, (under way - 7)² times.
enum class Calls { kOwnTime, kProcessorBound, kCrowded };

// The fake file system, and what the look-ahead holds ahead of the walk as the
// fake sees it: helpers' calls under way, and the files they opened.
struct Fake {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, Node> nodes;
  std::thread::id walk_thread;
  std::size_t descriptor_budget = 0;
  int round_trip_us = 0;  // added to every call
  Calls calls = Calls::kOwnTime;
  std::size_t helpers_running = 0, most_helpers = 0;
  std::atomic<std::size_t> under_way{0};        // helpers' calls
  std::vector<std::size_t> under_way_at_start;  // of each helper's call, in turn
  bool stuck = false;  // a helper is in a call that does not return
  bool release = false;
  bool given_back = false;  // the look-ahead gave back all it held
  std::map<std::intptr_t, std::uint64_t> files_ahead;  // handle, bytes asked
  std::map<std::intptr_t, std::string> folders_open;   // kept open by ListFolder
  std::map<std::intptr_t, std::size_t> listed_in_part;  // entries a first part listed
  std::size_t descriptors = 0, most_descriptors = 0, most_files = 0;
  std::uint64_t bytes = 0, most_bytes = 0;
  std::intptr_t next_handle = 100;
  std::string taken;  // what the walk took and told, in order
};
Fake fake;
// A thread's clock, moved on by its calls' scripted times alone: what the
// look-ahead measures of them does not hang on how busy the machine is.
thread_local std::uint64_t clock_us = 0;

constexpr std::uint64_t kFileSize = std::uint64_t{5} << 20;

// Starts a call on `path`: false when the walk makes it. Waits as scripted.
bool StartCall(const std::string& path, std::size_t descriptors, Node& node) {
  std::unique_lock<std::mutex> lock(fake.mutex);
  const bool ahead = std::this_thread::get_id() != fake.walk_thread;
  if (ahead) {
    fake.descriptors += descriptors;
    fake.most_descriptors = std::max(fake.most_descriptors, fake.descriptors);
  }
  node = fake.nodes.count(path) != 0 ? fake.nodes[path] : Node{};
  node.delay_us += fake.round_trip_us;
  if (ahead) fake.under_way_at_start.push_back(++fake.under_way);
  const std::uint64_t crowd =
      ahead && fake.calls == Calls::kCrowded && fake.under_way > 8 ? fake.under_way - 7 : 1;
  clock_us += static_cast<std::uint64_t>(node.delay_us) * crowd * crowd;
  if (ahead && node.hangs) {
    fake.stuck = true;
    fake.changed.notify_all();
    fake.changed.wait(lock, [] { return fake.release; });
  }
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::microseconds(node.delay_us));
  if (ahead) --fake.under_way;
  return ahead;
}

}  // namespace

namespace platform {

std::size_t MaxPathLength() { return 40; }
std::size_t PathLength(std::string_view path) { return path.size(); }
std::string AbsolutePath(const char* path) { return path; }
void FlushConsoleReport() {}
std::size_t DescriptorsForLookAhead() { return fake.descriptor_budget; }
std::uint64_t MonotonicMicroseconds() { return clock_us; }
// Bound, the process took an hour of a processor since any look at the clock.
std::uint64_t ProcessorMicroseconds() {
  static std::atomic<std::uint64_t> hours{0};
  return fake.calls == Calls::kProcessorBound ? ++hours * 3600000000 : 0;
}
std::uint64_t AddressSpaceForLookAhead() { return UINT64_MAX; }
bool OpenMayWorkLater(std::uint32_t error_code) {
  return error_code == EMFILE || error_code == ENOMEM;
}

// A path opened in a folder held open must lie in that folder, still open.
void ExpectIn(std::intptr_t in_folder, const std::string& path) {
  if (in_folder < 0) return;
  const auto held = fake.folders_open.find(in_folder);
  ASSERT_NE(held, fake.folders_open.end()) << path << " opened in a folder closed";
  EXPECT_EQ(path.substr(0, path.rfind('/')), held->second) << "opened in another folder";
}

// Adds `names` from `from` on, each of them what it is; all but the link may
// be opened by their names in a folder kept open.
void AddEntries(const std::string& path, const std::vector<std::string>& names, std::size_t from,
                FolderListing& listing) {
  for (std::size_t i = from; i < names.size(); ++i) {
    const bool folder = fake.nodes[path + "/" + names[i]].folder;
    const bool plain = folder && names[i] != "link";
    listing.entries.push_back({listing.names.size(), folder, !folder, plain});
    listing.names.append(names[i].c_str(), names[i].size() + 1);
  }
}

// A folder kept open counts among the descriptors the look-ahead holds, the
// walk's own included (the window charges those too). A first part is two
// entries, the rest a call of its own.
bool ListFolder(const char* path, FolderListing& listing, std::intptr_t in_folder,
                bool keep_open, bool first_part) {
  Node node;
  const bool ahead = StartCall(path, 1, node);
  const std::lock_guard<std::mutex> lock(fake.mutex);
  if (ahead) --fake.descriptors;
  ExpectIn(in_folder, path);
  listing = {};
  listing.error_code = ahead ? static_cast<std::uint32_t>(node.ahead_error) : 0;
  if (!node.folder || listing.error_code != 0) {
    if (listing.error_code == 0) listing.error_code = ENOENT;
    return false;
  }
  listing.id = {1, node.id};
  if (keep_open) {
    listing.handle = ++fake.next_handle;
    fake.folders_open[listing.handle] = path;
    fake.most_descriptors = std::max(fake.most_descriptors, ++fake.descriptors);
  }
  std::vector<std::string> names = node.names;
  if (keep_open && first_part && names.size() > 2) {
    names.resize(2);
    listing.more_to_read = true;
    fake.listed_in_part[listing.handle] = 2;
  }
  AddEntries(path, names, 0, listing);
  return true;
}

void ListRestOfFolder(std::intptr_t handle, FolderListing& listing) {
  std::unique_lock<std::mutex> lock(fake.mutex);
  const std::string path = fake.folders_open.at(handle);
  const std::size_t from = fake.listed_in_part.at(handle);
  fake.listed_in_part.erase(handle);
  lock.unlock();
  Node node;
  StartCall(path, 0, node);
  lock.lock();
  AddEntries(path, node.names, from, listing);
}

void CloseFolder(std::intptr_t handle) {
  if (handle < 0) return;
  const std::lock_guard<std::mutex> lock(fake.mutex);
  EXPECT_EQ(fake.folders_open.erase(handle), 1u) << "a folder closed twice";
  --fake.descriptors;
}

MappedFile OpenFileReadOnly(const char* path, bool /*listed_as_file*/, std::intptr_t in_folder) {
  Node node;
  const bool ahead = StartCall(path, 2, node);
  const std::lock_guard<std::mutex> lock(fake.mutex);
  ExpectIn(in_folder, path);
  MappedFile file;
  file.error_code = ahead ? static_cast<std::uint32_t>(node.ahead_error) : 0;
  if (ahead) fake.descriptors -= 2;
  if (file.error_code == 0 && (node.folder || fake.nodes.count(path) == 0)) {
    file.error_code = node.folder ? EISDIR : ENOENT;
  }
  if (file.error_code != 0) return file;
  file.status = MapStatus::kOpened;
  file.size = node.needs_room ? 1 : kFileSize;  // marks it for MapOpenedFile
  file.file_handle = ++fake.next_handle;
  if (ahead) {
    ++fake.descriptors;
    fake.files_ahead[file.file_handle] = 0;
    fake.most_files = std::max(fake.most_files, fake.files_ahead.size());
  }
  return file;
}

MappedFile OpenCacheFileAtItsTurn(const char* path, bool listed_as_file) {
  return OpenFileReadOnly(path, listed_as_file);
}

bool ReadOpenedFileSize(MappedFile& /*file*/) { return true; }
bool MapAhead(MappedFile& /*file*/, bool /*size_asked*/) { return false; }
bool InCacheAlready(const MappedFile& /*file*/) { return false; }
bool AttributesCached(const MappedFile& /*file*/) { return true; }
bool ListFolderAtItsTurn(const char* path, FolderListing& listing, std::intptr_t in_folder,
                         bool keep_open, bool first_part) {
  return ListFolder(path, listing, in_folder, keep_open, first_part);
}

// A view that needs room fails for want of address space while a helper runs
// (one stuck in a call keeps its stack).
void MapOpenedFile(MappedFile& file, bool /*as_cached*/) {
  const std::lock_guard<std::mutex> lock(fake.mutex);
  if (file.size == 1 && fake.helpers_running > (fake.stuck ? 1u : 0u)) {
    file.status = MapStatus::kViewFailed;
    file.error_code = ENOMEM;
    return;
  }
  file.status = MapStatus::kMapped;
}

std::uint64_t ReadIntoCache(const MappedFile& file, std::uint64_t max_bytes) {
  const std::lock_guard<std::mutex> lock(fake.mutex);
  const std::uint64_t asked = std::min(file.size, max_bytes);
  fake.files_ahead[file.file_handle] = asked;
  fake.bytes += asked;
  fake.most_bytes = std::max(fake.most_bytes, fake.bytes);
  return asked;
}

void ReleaseMappedFile(MappedFile& file) {
  const std::lock_guard<std::mutex> lock(fake.mutex);
  const auto ahead = fake.files_ahead.find(file.file_handle);
  if (ahead != fake.files_ahead.end()) {
    fake.bytes -= ahead->second;
    --fake.descriptors;
    fake.files_ahead.erase(ahead);
  }
  file.file_handle = -1;
}

bool StartHelperThread(void (*run)(void* context), void* context) {
  {
    const std::lock_guard<std::mutex> lock(fake.mutex);
    fake.most_helpers = std::max(fake.most_helpers, ++fake.helpers_running);
  }
  std::thread([run, context] {
    run(context);
    const std::lock_guard<std::mutex> lock(fake.mutex);
    --fake.helpers_running;
    fake.changed.notify_all();
  }).detach();
  return true;
}

bool AwaitHelpersEnded(std::uint64_t /*most_microseconds*/) {
  std::unique_lock<std::mutex> lock(fake.mutex);
  fake.given_back = true;
  fake.changed.wait(lock, [] { return fake.helpers_running <= (fake.stuck ? 1u : 0u); });
  return fake.helpers_running == 0;
}

void GiveBackHelperMemory() {}

}  // namespace platform

void BringHeadersIn(const platform::MappedFile& /*file*/) {}

// The reader's stand-in: notes the file and how its open and map went. Before
// the link's turn, where calls take round trips, it waits until a helper is
// stuck below it (unless the helpers are gone), so that the run surely ends
// with one stuck, and the view after it surely needs the helpers gone.
void DumpCacheFile(const char* path, platform::MappedFile file, DumpTally& tally) {
  ++tally.cache_files_read;
  std::unique_lock<std::mutex> lock(fake.mutex);
  fake.taken += std::string(path) + " " + std::to_string(static_cast<int>(file.status)) + " " +
                std::to_string(file.error_code) + "\n";
  if (std::string(path) == "/lib/last/z.itc2" && fake.round_trip_us > 0 &&
      fake.descriptor_budget >= 4) {
    const auto stuck_or_gone = [] { return fake.stuck || fake.given_back; };
    fake.changed.wait_for(lock, std::chrono::seconds(10), stuck_or_gone);
    EXPECT_TRUE(stuck_or_gone()) << "no helper looked below the link";
  }
}

namespace {

void Tell(const std::string& what) {
  const std::lock_guard<std::mutex> lock(fake.mutex);
  fake.taken += what + "\n";
}

void TellUnreadable(void*, const char* folder, std::uint32_t code) {
  Tell("unreadable " + std::string(folder) + " " + std::to_string(code));
}
void TellBeyond(void*, const char* folder) { Tell("beyond " + std::string(folder)); }
void TellNamed(void*, const char* folder, std::size_t count) {
  Tell("named " + std::string(folder) + " " + std::to_string(count));
}
void TellNothing(void*) {}

// A random tree below /lib, the same for a seed: folders of cache files and
// subfolders, some named past the path limit, cache files directly in /lib,
// files whose views fit only without helpers, a link back to a folder met
// before (below which one listing hangs ahead), files and folders that fail
// ahead of their turn, and names that are neither.
void BuildTree(unsigned seed) {
  std::mt19937 random(seed);
  const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  fake.nodes.clear();
  std::uint64_t next_id = 1;
  std::vector<std::string> folders;
  const auto add_folder = [&](const std::string& path, int depth, auto& self) -> void {
    Node& folder = fake.nodes[path];
    folder.folder = true;
    folder.id = next_id++;
    folder.delay_us = static_cast<int>(random() % 300);
    if (chance(5)) folder.ahead_error = ENOMEM;
    folders.push_back(path);
    const int top = fake.calls == Calls::kCrowded ? 96 : 24;  // long enough to fall back
    const int entries = depth == 0 ? top : depth < 4 ? static_cast<int>(random() % 7) : 0;
    for (int i = 0; i < entries; ++i) {
      std::string name = "e" + std::to_string(i) + (chance(50) ? ".ITC2" : ".itc2");
      if (chance(30)) name = (chance(30) ? "long-name-past-the-limit-" : "f") + std::to_string(i);
      if (chance(5)) name = "d" + std::to_string(i) + ".itc2";  // a folder, and dumped
      if (chance(10)) name = "other" + std::to_string(i);
      folder.names.push_back(name);
      const std::string child = path + "/" + name;
      if (name.starts_with("e")) {
        Node& file = fake.nodes[child];
        file.delay_us = static_cast<int>(random() % 300);
        if (chance(10)) file.ahead_error = EMFILE;
        file.needs_room = chance(3);
      } else if (!name.starts_with("other")) {
        self(child, depth + 1, self);
      }
    }
  };
  add_folder("/lib", 0, add_folder);
  // A link to a folder walked before: the same id, passed over.
  std::erase_if(folders, [](const std::string& folder) { return !CanSearch(folder); });
  const std::string target = folders[folders.size() / 3];
  Node& link = fake.nodes["/lib/link"];
  link = fake.nodes[target];
  link.names.insert(link.names.begin(), "hung");
  for (const char* name : {"last", "link"}) fake.nodes["/lib"].names.push_back(name);
  Node& last = fake.nodes["/lib/last"];
  last.folder = true;
  last.names = {"z.itc2", "room.itc2"};
  last.id = next_id++;
  fake.nodes["/lib/last/z.itc2"] = {};
  fake.nodes["/lib/last/room.itc2"].needs_room = true;
  Node& hung = fake.nodes["/lib/link/hung"];
  hung.folder = hung.hangs = true;
  hung.id = next_id++;
  for (const std::string& name : fake.nodes[target].names) {
    fake.nodes["/lib/link/" + name] = fake.nodes[target + "/" + name];
  }
}

std::string RunWalk(unsigned seed, std::size_t descriptors, int round_trip_us = 0,
                    Calls calls = Calls::kOwnTime) {
  fake.calls = calls;
  BuildTree(seed);
  fake.walk_thread = std::this_thread::get_id();
  fake.descriptor_budget = descriptors;
  fake.round_trip_us = round_trip_us;
  fake.under_way_at_start.clear();
  fake.most_helpers = 0;
  fake.stuck = fake.release = fake.given_back = false;
  fake.most_descriptors = fake.most_files = fake.most_bytes = 0;
  fake.taken.clear();
  DumpTally tally;
  DumpFolder("/lib", tally, {nullptr, TellUnreadable, TellBeyond, TellNamed, TellNothing});
  // The run ended while a helper is stuck; now it may go.
  std::unique_lock<std::mutex> lock(fake.mutex);
  fake.release = true;
  fake.changed.notify_all();
  fake.changed.wait(lock, [] { return fake.helpers_running == 0; });
  EXPECT_TRUE(fake.files_ahead.empty()) << "files opened ahead and never released";
  EXPECT_TRUE(fake.folders_open.empty()) << "folders kept open and never closed";
  return fake.taken;
}

TEST(LookAhead, TheWalkTakesWhatItTakesWithoutHelpersAndStaysInItsBounds) {
  // Descriptors, the round trip of each call (none, as on a disk, or 5 or 10 ms,
  // where the helpers grow as far as the descriptors let them), and what else
  // the calls' time is: the processor's stops growth, a crowd's undoes it.
  using enum Calls;
  const std::tuple<std::size_t, int, Calls> cases[] = {
      {5, 0, kOwnTime},     {12, 0, kOwnTime},           {128, 0, kOwnTime},  {12, 5000, kOwnTime},
      {128, 5000, kOwnTime}, {128, 5000, kProcessorBound}, {1024, 5000, kCrowded},
      {256, 10000, kOwnTime}};
  // Whether the helpers grow in one tree depends on how the machine schedules
  // the walk against them (a walk kept from a processor waits for nothing), so
  // growth is asked of the seeds together.
  std::size_t most_grown = 0, fell_back = 0;
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    const std::string alone = RunWalk(seed, 0);
    const std::string alone_crowded = RunWalk(seed, 0, 0, kCrowded);
    for (const auto& [descriptors, round_trip_us, calls] : cases) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", descriptors " + std::to_string(descriptors) +
                   ", round trip " + std::to_string(round_trip_us) + ", calls " +
                   std::to_string(static_cast<int>(calls)));
      EXPECT_EQ(RunWalk(seed, descriptors, round_trip_us, calls),
                calls == kCrowded ? alone_crowded : alone);
      // The fake counts the file the walk has just taken until the walk
      // releases it: a helper may open another in its place meanwhile.
      EXPECT_LE(fake.most_descriptors, descriptors + 1);
      EXPECT_LE(fake.most_files, platform::kMostFilesHeldAhead + 1);
      EXPECT_LE(fake.most_bytes, (std::uint64_t{32} << 20) + kFileSize);
      const std::size_t budget_helpers = descriptors / 4;
      if (round_trip_us == 0 || budget_helpers <= 8 || calls == kProcessorBound) {
        EXPECT_EQ(fake.most_helpers, std::min<std::size_t>(budget_helpers, 8));
      } else {
        most_grown = std::max(most_grown, fake.most_helpers);
        EXPECT_LE(fake.most_helpers, budget_helpers);
      }
      // Crowded, grown fourfold: 8 stay at work for the last quarter of the calls.
      const auto& at_start = fake.under_way_at_start;
      const auto last_quarter = at_start.end() - static_cast<std::ptrdiff_t>(at_start.size() / 4);
      if (calls == kCrowded && fake.most_helpers > 8 &&
          *std::max_element(last_quarter, at_start.end()) <= 8) ++fell_back;
    }
  }
  EXPECT_GT(most_grown, 8u) << "the helpers never grew where every call took a round trip";
  EXPECT_GT(fell_back, 0u) << "the helpers at work never fell back on a crowded share";
}

}  // namespace
}  // namespace artpeel
