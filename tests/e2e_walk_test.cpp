// End-to-end tests of the walk on trees larger than the hand-made ones: folders
// too big for one read of their listing, and a tree several levels deep whose
// every folder holds a cache file. The report is compared file by file and the
// exported images byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::BuildCacheFile;
using tools::ItemSpec;
using tools::KeyFromU64;

struct Expected {
  std::string report;  // the file's block of the report
  std::string image_name;
  std::string image;
};

// Writes a cache file at `path` holding one PNG item whose key and payload
// come from `id`, and returns what artpeel should report and write for it.
Expected AddCacheFile(const fs::path& path, std::uint64_t id) {
  ItemSpec item;
  item.ImageKey = KeyFromU64(0x0123456700000000u + id);
  item.Width = 1;
  item.Height = 1;
  const std::string payload = "image " + std::to_string(id);
  item.Payload.assign(payload.begin(), payload.end());
  WriteWholeFile(path, BuildCacheFile({item}));
  char name[64];
  std::snprintf(name, sizeof name, "01234567%08" PRIX64 "-01-1x1.png", id);
  Expected expected;
  expected.image_name = name;
  expected.image = payload;
  expected.report = "Dumping contents of " + path.filename().string() +
                    ":\n\tdumping items...\n\t\t[ 1] wrote PNG image to file '" + name + "'(" +
                    std::to_string(payload.size()) + ")\n";
  return expected;
}

std::vector<std::string> Sorted(std::vector<std::string> blocks) {
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

TEST(LargeTree, FolderListedInManyReadsYieldsEveryEntryOnce) {
  TempFolder temp;
  const fs::path folder = temp.path() / "lib" / "S";
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  // Long names make the listing of S far larger than one read of it returns.
  const std::string padding(150, 'n');
  std::vector<std::string> own_blocks;
  std::vector<std::string> deeper_blocks;
  std::map<std::string, std::string> images;
  std::uint64_t id = 0;
  for (int i = 0; i < 1200; ++i) {
    const std::string stem = padding + "-" + std::to_string(i);
    const Expected file = AddCacheFile(folder / (stem + (i % 2 ? ".itc2" : ".ITC2")), id++);
    own_blocks.push_back(file.report);
    images[file.image_name] = file.image;
    WriteWholeFile(folder / (stem + ".itc"), {'x'});  // not a cache file
  }
  for (int i = 0; i < 40; ++i) {
    const Expected file =
        AddCacheFile(folder / (padding + "-folder-" + std::to_string(i)) / "deeper.itc2", id++);
    deeper_blocks.push_back(file.report);
    images[file.image_name] = file.image;
  }
  const RunResult result = RunArtpeel(out, {(temp.path() / "lib").string()});
  EXPECT_EQ(result.exit_status, 1);
  const std::vector<std::string> blocks = FileBlocks(result.output);
  ASSERT_EQ(blocks.size(), own_blocks.size() + deeper_blocks.size());
  // S's own cache files all come before those of the folders below it.
  EXPECT_EQ(Sorted({blocks.begin(), blocks.begin() + 1200}), Sorted(own_blocks));
  EXPECT_EQ(Sorted({blocks.begin() + 1200, blocks.end()}), Sorted(deeper_blocks));
  EXPECT_EQ(FilesIn(out), images);
}

TEST(LargeTree, EveryFolderOfADeepTreeIsWalkedOnceAndWhole) {
  TempFolder temp;
  const fs::path library = temp.path() / "lib";
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  // Four levels of five folders below the named one, a cache file in each; the
  // walk must come back up and go on with every sibling at every level.
  std::vector<std::string> expected_blocks;
  std::map<std::string, std::string> images;
  std::uint64_t id = 0;
  std::vector<fs::path> level = {library};
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<fs::path> next;
    for (const fs::path& parent : level) {
      for (int i = 0; i < 5; ++i) {
        const fs::path folder = parent / ("F" + std::to_string(i));
        const Expected file = AddCacheFile(folder / ("c" + std::to_string(id) + ".itc2"), id);
        ++id;
        expected_blocks.push_back(file.report);
        images[file.image_name] = file.image;
        next.push_back(folder);
      }
    }
    level = std::move(next);
  }
  const RunResult result = RunArtpeel(out, {library.string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(expected_blocks));
  EXPECT_EQ(FilesIn(out), images);
}

}  // namespace
}  // namespace artpeel::testing
