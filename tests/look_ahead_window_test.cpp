// The look-ahead's window on one thread, no sleeps: the helpers' and the
// walk's operations interleaved at random, with results handed in in any
// order, on a tree with a folder far wider than the window. The walk must take
// every folder and file in walk order, and the window must stay within its
// five measures and hold no more tasks than they allow (CheckWindow asserts
// more after every operation). The platform's few calls it makes are the fake
// of look_ahead_test.cpp.
#include "walk/look_ahead_window.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "walk/walk_order.h"

namespace artpeel {
namespace {

// Each folder's entries in listing order; a name ending in '/' is a folder.
using Tree = std::map<std::string, std::vector<std::string>>;

// A folder of `width` subfolders and 3 cache files to every 20 of them (3,000
// to 20,000), beside a few smaller ones, with a file that fails ahead (EMFILE)
// and a folder past the path limit.
Tree WideTree(std::size_t width) {
  Tree tree;
  std::vector<std::string>& wide = tree["/lib/wide"];
  for (std::size_t i = 0; i < width / 20 * 23; ++i) {
    wide.push_back(i % 23 < 3 ? "c" + std::to_string(i) + ".itc2" : "s" + std::to_string(i) + "/");
  }
  tree["/lib"] = {"a.itc2", "small/", "wide/", "long-folder-name-past-the-limit/", "z/"};
  tree["/lib/small"] = {"x.itc2", "inner/", "emfile.itc2", "y.ITC2"};
  tree["/lib/small/inner"] = {"q.itc2", "notes"};
  tree["/lib/z"] = {"last.itc2"};
  return tree;
}

struct Walked {
  std::string order;  // what the walk entered and took, in turn
  std::size_t most_tasks = 0;
  Holdings most_held;
};

void ListFrom(const Tree& tree, FolderTask& folder) {
  folder.listing = {};
  const auto found = tree.find(folder.path);
  if (found == tree.end()) return;
  for (std::string name : found->second) {
    const bool is_folder = name.ends_with('/');
    if (is_folder) name.pop_back();
    folder.listing.entries.push_back({folder.listing.names.size(), is_folder});
    folder.listing.names.append(name.c_str(), name.size() + 1);
  }
}

void HandIn(Window& window, const Tree& tree, const StartedTask& task) {
  if (task.folder != nullptr) {
    ListFrom(tree, *task.folder);
    HandInListing(window, *task.folder, tree.count(task.folder->path) != 0);
    return;
  }
  platform::MappedFile file;
  if (task.file->path.ends_with("emfile.itc2")) {
    file.error_code = EMFILE;
  } else {
    file.status = platform::MapStatus::kOpened;
    file.size = 1 << 20;
  }
  const std::uint64_t asked = file.error_code == 0 ? ChargeFileBytes(window, *task.file, file.size) : 0;
  HandInOpenedFile(window, *task.file, std::move(file), asked);
}

std::size_t TasksBelow(const FolderTask& folder) {
  std::size_t tasks = folder.files.size() + folder.subfolders.size();
  for (const auto& subfolder : folder.subfolders) tasks += TasksBelow(*subfolder);
  return tasks;
}

// The walk with helpers interleaved by `seed`, one operation at a time.
struct WindowRun {
  const Tree& tree;
  std::minstd_rand random;
  Window window;
  std::vector<StartedTask> started;
  std::size_t steps_to_drop = 0;  // the walk's steps before all ahead is dropped
  bool dropped_ahead = false;     // after which no helper starts a task
  Walked walked;

  // A started task's helper hands in its result; the walk's own first.
  void HandInOne(const void* wanted = nullptr) {
    auto task = started.begin() + static_cast<long>(random() % started.size());
    for (auto i = started.begin(); i != started.end(); ++i) {
      if (i->folder == wanted || i->file == wanted) task = i;
    }
    HandIn(window, tree, *task);
    started.erase(task);
  }

  void Helpers() {
    const auto what = random() % 16;
    StartedTask task;
    if (what < 8 && !dropped_ahead && StartNextTask(window, task)) started.push_back(task);
    if (what >= 8 && what < 14 && !started.empty()) HandInOne();
    if (what == 14 && window.files_being_opened == 0) {
      DropFilesAhead(window);  // as after an open at its turn failed with EMFILE
    }
    if (what == 15 && random() % 64 == 0) DropAhead(window);
    Record();
  }

  void Record() {
    std::size_t tasks = 0;
    for (const auto& folder : window.entered) tasks += TasksBelow(*folder);
    walked.most_tasks = std::max(walked.most_tasks, tasks);
    const Holdings& held = window.held;
    Holdings& most = walked.most_held;
    most = {std::max(most.descriptors, held.descriptors), std::max(most.files, held.files),
            std::max(most.file_bytes, held.file_bytes), std::max(most.folders, held.folders),
            std::max(most.listing_bytes, held.listing_bytes)};
  }

  // The walk's next step, as folder_walk does it; false once it is done.
  bool WalkStep() {
    if (steps_to_drop > 0 && --steps_to_drop == 0) {
      DropAhead(window);  // as when a view needs the room: the walk goes on alone
      dropped_ahead = true;
    }
    FolderTask& in = *window.entered.back();
    if (FileTask* file = TakeNextFile(window)) {
      while (file->state == TaskState::kStarted) HandInOne(file);
      TakeOverFile(window, *file);
      walked.order += "  " + file->path + "\n";
      return true;
    }
    if (FolderTask* folder = EnterNextFolder(window)) {
      while (folder->state == TaskState::kStarted) HandInOne(folder);
      if (TakeOverFolder(window, *folder)) {
        ListFrom(tree, *folder);
        FolderListedByTheWalk(window, *folder, tree.count(folder->path) != 0);
      }
      walked.order += folder->path + (folder->beyond_path_limit ? " beyond" : "") + "\n";
      if (!folder->listed) LeaveFolder(window);
      return true;
    }
    if (in.named_on_command_line) return false;
    LeaveFolder(window);
    return true;
  }
};

// What the walk takes with helpers that may hold `descriptors`, interleaved as
// `seed` has it; all ahead is dropped after `steps_to_drop` steps of the walk.
Walked WalkOf(const Tree& tree, std::size_t descriptors, unsigned seed,
              std::size_t steps_to_drop = 0) {
  WindowRun run{tree, std::minstd_rand(seed), {}, {}, steps_to_drop, false, {}};
  OpenWindow(run.window, "/lib", WindowBudget(descriptors, std::uint64_t{256} << 10));
  for (;;) {
    if (descriptors > 0) {
      for (auto helpers = run.random() % 12; helpers > 0; --helpers) run.Helpers();
    }
    if (!run.WalkStep()) break;
  }
  while (!run.started.empty()) run.HandInOne();
  DropEverything(run.window);
  EXPECT_EQ(run.window.held, Holdings{});
  return run.walked;
}

void ExpectWithin(const Walked& walked, const Holdings& budget) {
  EXPECT_LE(walked.most_tasks, budget.files + budget.folders);
  EXPECT_LE(walked.most_held.descriptors, budget.descriptors);
  EXPECT_LE(walked.most_held.files, budget.files);
  EXPECT_LE(walked.most_held.file_bytes, budget.file_bytes);
  EXPECT_LE(walked.most_held.folders, budget.folders);
  EXPECT_LE(walked.most_held.listing_bytes, budget.listing_bytes);
  EXPECT_GT(walked.most_held.folders, budget.folders / 2) << "the window never reached ahead";
}

TEST(LookAheadWindow, TakesTheWalkOrderWhateverTheHelpersDoAndStaysInItsBudgets) {
  // The first task a helper finds is the named folder's listing.
  Window window;
  OpenWindow(window, "/lib", WindowBudget(12, std::uint64_t{256} << 10));
  StartedTask first;
  ASSERT_TRUE(StartNextTask(window, first) && first.folder != nullptr);
  EXPECT_EQ(first.folder->path, "/lib");
  DropEverything(window);
  HandInListing(window, *first.folder, false);
  EXPECT_EQ(window.held, Holdings{});

  const Tree tree = WideTree(400);
  const std::string alone = WalkOf(tree, 0, 0).order;
  EXPECT_TRUE(alone.starts_with(
      "/lib\n/lib/small\n  /lib/small/x.itc2\n  /lib/small/emfile.itc2\n  /lib/small/y.ITC2\n"
      "/lib/small/inner\n  /lib/small/inner/q.itc2\n/lib/wide\n  /lib/wide/c0.itc2\n"))
      << alone.substr(0, 400);
  EXPECT_TRUE(alone.ends_with("/lib/long-folder-name-past-the-limit beyond\n/lib/z\n"
                              "  /lib/z/last.itc2\n"));
  // Descriptors for no more than one helper's call, for several, and as many
  // as there are; once, all ahead is dropped part way through the wide folder.
  const std::tuple<std::size_t, unsigned, std::size_t> cases[] = {
      {2, 1, 0}, {12, 2, 0}, {12, 3, 600}, {256, 4, 0}};
  for (const auto& [descriptors, seed, steps_to_drop] : cases) {
    SCOPED_TRACE("descriptors " + std::to_string(descriptors) + ", seed " + std::to_string(seed));
    const Walked walked = WalkOf(tree, descriptors, seed, steps_to_drop);
    EXPECT_EQ(walked.order, alone);
    ExpectWithin(walked, WindowBudget(descriptors, std::uint64_t{256} << 10));
  }
}

TEST(LookAheadWindow, AFolderOfTwentyThousandSubfoldersAddsNoMoreTasksThanTheWindowHolds) {
  // The walk in the wide folder stands still while helpers with 12 descriptors
  // start what they may and hand it in, round after round.
  const Tree tree = WideTree(20000);
  WindowRun run{tree, std::minstd_rand(5), {}, {}, 0, false, {}};
  const Holdings budget = WindowBudget(12, UINT64_MAX);
  OpenWindow(run.window, "/lib", budget);
  while (run.window.entered.back()->path != "/lib/wide") ASSERT_TRUE(run.WalkStep());
  for (int round = 0; round < 300; ++round) {
    for (StartedTask task; StartNextTask(run.window, task);) run.started.push_back(task);
    run.Record();
    while (!run.started.empty()) run.HandInOne();
    run.Record();
  }
  ExpectWithin(run.walked, budget);
  DropEverything(run.window);
}

}  // namespace
}  // namespace artpeel
