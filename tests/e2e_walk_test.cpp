// End-to-end tests of the walk on trees larger than the hand-made ones: a
// folder too big for one read of its listing, and a tree several levels deep
// whose every folder holds a cache file. The report is compared file by file
// and the exported images byte for byte.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

// What artpeel should report and write for the cache files the test adds.
struct Expected {
  std::vector<std::string> blocks;  // each file's block of the report
  std::map<std::string, std::string> images;
};

// Writes a cache file at `path` holding one PNG image whose key and bytes come
// from `id`.
void AddCacheFile(const fs::path& path, std::uint64_t id, Expected& expected) {
  const std::string payload = "image " + std::to_string(id);
  WriteWholeFile(path, tools::BuildCacheFile({tools::PngItem(payload, 0x0123456700000000u + id, 1, 1)}));
  char name[64];
  std::snprintf(name, sizeof name, "01234567%08" PRIX64 "-01-1x1.png", id);
  expected.blocks.push_back(ReportOf(path.filename().string(), WroteLine(1, name, payload.size())));
  expected.images[name] = payload;
}

using LargeTree = LibraryTest;

TEST_F(LargeTree, FolderListedInManyReadsYieldsEveryEntryOnce) {
  // Long names make the listing of S several times larger than one read of it
  // returns (32 KiB on Linux). The names are links to two files, which makes
  // them cheap: each cache file's block of the report tells it apart.
  const fs::path folder = library_ / "S";
  const std::string padding(150, 'n');
  const fs::path cache_file = temp_.path() / "cache.itc2";
  const fs::path other_file = temp_.path() / "other";
  WriteWholeFile(cache_file, tools::BuildCacheFile({tools::PngItem("image")}));
  WriteWholeFile(other_file, {'x'});
  fs::create_directories(folder);
  std::vector<std::string> own_blocks;
  for (int i = 0; i < 300; ++i) {
    const std::string stem = padding + "-" + std::to_string(i);
    const std::string name = stem + (i % 2 ? ".itc2" : ".ITC2");
    fs::create_hard_link(cache_file, folder / name);
    fs::create_hard_link(other_file, folder / (stem + ".itc"));  // not a cache file
    own_blocks.push_back(ReportOf(name, WroteLine(1, "0123456789ABCDEF-01-600x600.png", 5)));
  }
  Expected deeper;
  for (std::uint64_t i = 0; i < 20; ++i) {
    AddCacheFile(folder / (padding + "-folder-" + std::to_string(i)) / "deeper.itc2", i, deeper);
  }
  const RunResult result = Run();
  EXPECT_EQ(result.exit_status, 1);
  const std::vector<std::string> blocks = FileBlocks(result.output);
  ASSERT_EQ(blocks.size(), own_blocks.size() + deeper.blocks.size());
  // S's own cache files all come before those of the folders below it.
  const auto middle = blocks.begin() + static_cast<std::ptrdiff_t>(own_blocks.size());
  EXPECT_EQ(Sorted({blocks.begin(), middle}), Sorted(own_blocks));
  EXPECT_EQ(Sorted({middle, blocks.end()}), Sorted(deeper.blocks));
  deeper.images["0123456789ABCDEF-01-600x600.png"] = "image";
  EXPECT_EQ(FilesIn(out_), deeper.images);
}

TEST_F(LargeTree, EveryFolderOfADeepTreeIsWalkedOnceAndWhole) {
  // Three levels of four folders below the named one, a cache file in each; the
  // walk must come back up and go on with every sibling at every level.
  Expected expected;
  std::uint64_t id = 0;
  std::vector<fs::path> level = {library_};
  for (int depth = 0; depth < 3; ++depth) {
    std::vector<fs::path> next;
    for (const fs::path& parent : level) {
      for (int i = 0; i < 4; ++i) {
        const fs::path folder = parent / ("F" + std::to_string(i));
        AddCacheFile(folder / ("c" + std::to_string(id) + ".itc2"), id, expected);
        ++id;
        next.push_back(folder);
      }
    }
    level = std::move(next);
  }
  const RunResult result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(expected.blocks));
  EXPECT_EQ(FilesIn(out_), expected.images);
}

TEST_F(LargeTree, CacheFilesChangedWhileTheWalkLooksAheadAreTakenAsOpenedOrAsChanged) {
  if (TestingWindows()) GTEST_SKIP() << "stops the run with SIGSTOP";
  // One cache file in each of 1,000 folders. The look-ahead lists folders and
  // opens cache files ahead of the one the walk dumps; the run is stopped part
  // way and every file not yet reported is removed, made a folder or
  // rewritten. Each file must be reported whole as it was opened: the original
  // for those dumped before the stop or opened ahead of it (a bounded few of the
  // 980 left), the changed one for the rest, and a removed file only if its
  // folder had been listed. Once with the usual limit on open files, once with
  // so few that the look-ahead must hold back.
  constexpr int kFiles = 1000;
  std::map<std::string, std::string> original;  // cache file name -> its block
  std::map<std::string, std::pair<std::string, std::string>> image_of;  // block -> image
  const auto add_originals = [&] {
    for (int id = 0; id < kFiles; ++id) {
      char folder[32];
      char name[32];
      std::snprintf(folder, sizeof folder, "F%03d", id);
      std::snprintf(name, sizeof name, "c%03d.itc2", id);
      fs::remove_all(library_ / folder / name);
      Expected before;
      AddCacheFile(library_ / folder / name, static_cast<std::uint64_t>(id), before);
      original[name] = before.blocks[0];
      image_of[before.blocks[0]] = *before.images.begin();
    }
  };
  for (const std::string limit : {"", "ulimit -n 64;"}) {
    SCOPED_TRACE(limit);
    add_originals();
    fs::remove_all(out_);
    fs::create_directory(out_);
    std::map<std::string, std::string> changed;
    RunningArtpeel run = StartArtpeel(out_, {library_.string()}, limit);
    ASSERT_GT(run.pid, 0);
    std::string report;
    std::set<std::string> reported;
    for (std::string line; reported.size() < 20 && ReadReportLine(run, line);) {
      report += line + "\n";
      if (line.starts_with("Dumping contents of ")) reported.insert(line.substr(20, 8));
    }
    StopRun(run);
    for (const auto& [name, block] : original) {
      if (reported.count(name) != 0) continue;
      const fs::path path = library_ / ("F" + name.substr(1, 3)) / name;
      const int id = std::stoi(name.substr(1, 3));
      fs::remove(path);
      if (id % 3 == 1) {
        fs::create_directory(path);
        changed[name] = "Unable to open '" + path.string() + "' Error code: 0x00000015\n";
      } else if (id % 3 == 2) {
        Expected after;
        AddCacheFile(path, static_cast<std::uint64_t>(id) + 0x10000, after);
        changed[name] = after.blocks[0];
        image_of[after.blocks[0]] = *after.images.begin();
      } else {
        // Reported only if the look-ahead had listed its folder before it went.
        changed[name] = "Unable to open '" + path.string() + "' Error code: 0x00000002\n";
      }
    }
    kill(run.pid, SIGCONT);
    EXPECT_EQ(WEXITSTATUS(FinishArtpeel(run, &report)), 1);

    // Cut the report into one block per file: each starts at the margin.
    std::vector<std::string> blocks;
    for (const std::string& line : Lines(report)) {
      if (line.empty() || line[0] != '\t' || blocks.empty()) blocks.emplace_back();
      blocks.back() += line + "\n";
    }
    std::map<std::string, std::string> images;
    std::set<std::string> seen;
    std::size_t opened_ahead = 0;
    for (const std::string& block : blocks) {
      const std::size_t at = block.find("c", block.find(block[0] == 'D' ? "of " : "/F"));
      const std::string name = block.substr(at, 9);
      ASSERT_TRUE(seen.insert(name).second) << "reported twice: " << block;
      if (block == original[name]) {
        opened_ahead += changed.count(name);
      } else {
        ASSERT_EQ(block, changed[name]);
      }
      if (image_of.count(block) != 0) images.insert(image_of[block]);
    }
    // The window, and the dumps whose lines were still in the run's buffer.
    EXPECT_LT(opened_ahead, 250u);
    for (const auto& [name, block] : changed) {
      if (!block.ends_with("0x00000002\n")) {
        EXPECT_EQ(seen.count(name), 1u) << name;
      }
    }
    EXPECT_EQ(FilesIn(out_), images);
  }
}

TEST_F(LargeTree, CacheFilesChangedInPlaceAfterTheirOpenAheadAreReadAsTheyAreAtTheirTurn) {
  if (TestingWindows()) GTEST_SKIP() << "looks into /proc for what the run holds open";
  // The run is held inside S/a.itc2, whose report fills the pipe that nobody
  // reads, until the look-ahead holds S/T/b.itc2 and S/T/c.itc2 open. Then b is
  // rewritten in place with two images and c is cut short inside its image:
  // each is read as it is at its turn, as a run without helpers reads it.
  tools::ItemSpec remote;
  remote.Location = tools::Tag("abcd");
  AddFile("S/a.itc2", tools::BuildCacheFile(std::vector<tools::ItemSpec>(5000, remote)));
  const fs::path b = AddFile("S/T/b.itc2", tools::BuildCacheFile({tools::PngItem("b1", 1)}));
  const fs::path c = AddFile("S/T/c.itc2",
                             tools::BuildCacheFile({tools::PngItem(std::string(100'000, 'c'), 3)}));
  RunningArtpeel run = StartArtpeel(out_, {library_.string()});
  std::string report;
  for (std::string line; !report.ends_with("a.itc2:\n") && ReadReportLine(run, line);) {
    report += line + "\n";
  }
  const fs::path held = "/proc/" + std::to_string(WalkingProcess(run)) + "/fd";
  const auto holds = [&](const fs::path& file) {
    std::error_code error;
    for (const auto& fd : fs::directory_iterator(held, error)) {
      // The same file, also when the run sees it by another path (a chroot).
      if (fs::equivalent(fd, file, error)) return true;
    }
    return false;
  };
  for (int waits = 0; waits < 1000 && !(holds(b) && holds(c)); ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(holds(b) && holds(c)) << "b.itc2 and c.itc2 were not opened ahead";
  WriteWholeFile(b, tools::BuildCacheFile({tools::PngItem("b1", 1), tools::PngItem("b22", 2)}));
  fs::resize_file(c, fs::file_size(c) / 2);
  EXPECT_EQ(WEXITSTATUS(FinishArtpeel(run, &report)), 1);
  const std::vector<std::string> blocks = FileBlocks(report);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(Sorted({blocks[1], blocks[2]}),
            Sorted({ReportOf("b.itc2", WroteLine(1, "0000000000000001-01-600x600.png", 2) +
                                           WroteLine(2, "0000000000000002-02-600x600.png", 3)),
                    ReportOf("c.itc2", "\t\t[ 1] runs past the end of the file\n")}));
}

}  // namespace
}  // namespace artpeel::testing
