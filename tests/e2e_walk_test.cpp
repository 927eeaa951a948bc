// End-to-end tests of the walk on trees larger than the hand-made ones: a
// folder too big for one read of its listing, and a tree several levels deep
// whose every folder holds a cache file. The report is compared file by file
// and the exported images byte for byte.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
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

}  // namespace
}  // namespace artpeel::testing
