// End-to-end tests on hostile trees and failing disks: the built artpeel binary
// run on deep, wide, looping and oddly named folder trees, under low limits on
// descriptors, address space and file size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::BuildCacheFile;
using tools::FileHeaderSpec;
using tools::ItemSpec;

ItemSpec PngItem(std::size_t payload_size, std::uint64_t key = 0x0123456789ABCDEF) {
  ItemSpec item;
  item.ImageKey = tools::KeyFromU64(key);
  item.Width = 40;
  item.Height = 40;
  item.Payload.assign(payload_size, std::uint8_t{'p'});
  return item;
}

std::string ReportOfOnePng(const std::string& file_name, const std::string& image_name,
                           std::size_t size) {
  return "Dumping contents of " + file_name +
         ":\n\tdumping items...\n\t\t[ 1] wrote PNG image to file '" + image_name + "'(" +
         std::to_string(size) + ")\n";
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Address-space limits starve the sanitizers' shadow memory and valgrind alike.
bool RunsUnderAMemoryChecker() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  const char* launcher = std::getenv("ARTPEEL_TEST_LAUNCHER");
  return launcher != nullptr && *launcher != '\0';
}

class HostileTree : public ::testing::Test {
 protected:
  void SetUp() override {
    // FIFOs, ulimit, names with line breaks and SIGXFSZ are POSIX's own.
    if (TestingWindows()) GTEST_SKIP() << "POSIX trees and limits";
    fs::create_directories(out_);
  }
  // rm copes with trees deeper than the path limit, which remove_all does not.
  void TearDown() override { RunShell("rm -rf " + QuoteForShell(library_.string())); }

  RunResult Run(const std::string& shell_prefix = "") {
    return RunArtpeel(out_, {library_.string()}, shell_prefix);
  }

  TempFolder temp_;
  fs::path library_ = temp_.path() / "lib";
  fs::path out_ = temp_.path() / "out";
};

TEST_F(HostileTree, DeepChainIsWalkedToThePathLimitWithFewDescriptors) {
  // 1,500 nested folders fit the path limit; 1,000 more below them do not. A
  // walk that held a descriptor per level would run out after 256.
  fs::path bottom = library_;
  fs::create_directory(bottom);
  for (int depth = 0; depth < 1500; ++depth) fs::create_directory(bottom /= "d");
  WriteWholeFile(bottom / "c.itc2", BuildCacheFile({PngItem(3)}));
  // Paths down there are too long to name: step down one folder at a time.
  const fs::path test_folder = fs::current_path();
  fs::current_path(bottom);
  for (int depth = 0; depth < 1000; ++depth) {
    fs::create_directory("d");
    fs::current_path("d");
  }
  ASSERT_TRUE(tools::WriteBytesToFile("beyond.itc2", BuildCacheFile({PngItem(3)})));
  fs::current_path(test_folder);
  const RunResult result = Run("ulimit -n 256 &&");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, ReportOfOnePng("c.itc2", "0123456789ABCDEF-01-40x40.png", 3));
  EXPECT_EQ(FilesIn(out_).size(), 1u);
}

TEST_F(HostileTree, FolderOfAHundredThousandEntries) {
  // Hard links make the entries cheap to create: 99,998 names that almost
  // match, one cache file, and one subfolder with a cache file of its own.
  // (A file takes at most 65,000 links on ext4: two files share them out.)
  const fs::path wide = library_ / "S";
  WriteWholeFile(wide / "entry-000000.itc", {});
  WriteWholeFile(wide / "entry-000001.itc", {});
  WriteWholeFile(wide / "a.itc2", BuildCacheFile({PngItem(1, 1)}));
  WriteWholeFile(wide / "T" / "b.itc2", BuildCacheFile({PngItem(2, 2)}));
  for (int i = 2; i < 99'998; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "entry-%06d.itc", i);
    fs::create_hard_link(wide / (i % 2 == 0 ? "entry-000000.itc" : "entry-000001.itc"),
                         wide / name);
  }
  const RunResult result = Run("ulimit -n 256 &&");
  EXPECT_EQ(result.output, ReportOfOnePng("a.itc2", "0000000000000001-01-40x40.png", 1) +
                               ReportOfOnePng("b.itc2", "0000000000000002-01-40x40.png", 2));
}

TEST_F(HostileTree, ThousandsOfCacheFilesReleaseEveryDescriptorAndMapping) {
  // 3,000 names of one 4 MiB cache file. Each is opened, mapped and exported in
  // turn: were a descriptor kept, 64 would run out; were a mapping kept, 256 MiB
  // of address space would (where no memory checker needs more of it).
  FileHeaderSpec far_first_record;
  far_first_record.HeaderLength = 4 << 20;
  WriteWholeFile(library_ / "S" / "c0000.itc2", BuildCacheFile({PngItem(7)}, far_first_record));
  constexpr int kFiles = 3000;
  std::string expected;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "c%04d.itc2", i);
    if (i > 0) fs::create_hard_link(library_ / "S" / "c0000.itc2", library_ / "S" / name);
    expected += ReportOfOnePng(name, "0123456789ABCDEF-01-40x40.png", 7);
  }
  const std::string limits =
      std::string("ulimit -n 64 && ") + (RunsUnderAMemoryChecker() ? "" : "ulimit -v 262144 && ");
  const RunResult result = Run(limits);
  // The listing's order is the file system's: compare the lines, sorted.
  EXPECT_TRUE(SortedLines(result.output) == SortedLines(expected))
      << result.output.substr(0, 2000);
  EXPECT_EQ(FilesIn(out_).size(), 1u);
}

TEST_F(HostileTree, FileTooLargeToMapIsReportedAndTheWalkGoesOn) {
  if (RunsUnderAMemoryChecker()) GTEST_SKIP() << "needs an address-space limit";
  // A sparse 1 GiB file cannot be mapped under a 128 MiB address-space limit.
  fs::create_directories(library_ / "S" / "T");
  const fs::path huge = library_ / "S" / "huge.itc2";
  ASSERT_EQ(RunShell("truncate -s 1G " + QuoteForShell(huge.string())), 0);
  WriteWholeFile(library_ / "S" / "T" / "after.itc2", BuildCacheFile({PngItem(3)}));
  EXPECT_EQ(Run("ulimit -v 131072 && ").output,
            "Unable to map view of file '" + huge.string() + "'\n" +
                ReportOfOnePng("after.itc2", "0123456789ABCDEF-01-40x40.png", 3));
}

TEST_F(HostileTree, LinkCyclesEnd) {
  // Two folders linked to each other, each also linked to itself: each folder
  // is walked once, on the first way in, whichever of them the listing yields
  // first.
  WriteWholeFile(library_ / "S" / "A" / "a.itc2", BuildCacheFile({}));
  WriteWholeFile(library_ / "S" / "B" / "b.itc2", BuildCacheFile({}));
  fs::create_directory_symlink("../B", library_ / "S" / "A" / "toB");
  fs::create_directory_symlink("../A", library_ / "S" / "B" / "toA");
  fs::create_directory_symlink(".", library_ / "S" / "A" / "self");
  fs::create_directory_symlink("../../..", library_ / "S" / "B" / "top");
  const RunResult result = Run("timeout 60");
  const std::string a = "Dumping contents of a.itc2:\n\tdumping items...\n";
  const std::string b = "Dumping contents of b.itc2:\n\tdumping items...\n";
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.output == a + b || result.output == b + a) << result.output;
}

TEST_F(HostileTree, LinksThatLoopAreFilesThatCannotBeOpened) {
  // A link to itself, and two links to each other one folder down.
  fs::create_directories(library_ / "S" / "T");
  fs::create_symlink("loop.itc2", library_ / "S" / "loop.itc2");
  fs::create_symlink("there.itc2", library_ / "S" / "T" / "back.itc2");
  fs::create_symlink("back.itc2", library_ / "S" / "T" / "there.itc2");
  const RunResult result = Run();
  const std::string loop = "Unable to open '" + (library_ / "S" / "loop.itc2").string() +
                           "' Error code: 0x00000028\n";
  const std::string back = "Unable to open '" + (library_ / "S" / "T" / "back.itc2").string() +
                           "' Error code: 0x00000028\n";
  const std::string there = "Unable to open '" + (library_ / "S" / "T" / "there.itc2").string() +
                            "' Error code: 0x00000028\n";
  EXPECT_TRUE(result.output == loop + back + there || result.output == loop + there + back)
      << result.output;
}

TEST_F(HostileTree, OddNamesArePrintedAsTheyAreAndAFifoNeverBlocks) {
  const fs::path odd = library_ / "sub folder\nline two\xff";
  WriteWholeFile(odd / "a b\n\xfe.itc2", BuildCacheFile({PngItem(4)}));
  const fs::path deeper = odd / "deeper \xc3\x28";
  WriteWholeFile(deeper / "empty\x80.itc2", {});
  const fs::path fifo = deeper / "fifo" / "x.itc2";
  fs::create_directories(fifo.parent_path());
  ASSERT_EQ(RunShell("mkfifo " + QuoteForShell(fifo.string())), 0);
  // Were the FIFO opened for a blocking read, the run would end here instead.
  const RunResult result = Run("timeout 60");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output,
            ReportOfOnePng("a b\n\xfe.itc2", "0123456789ABCDEF-01-40x40.png", 4) +
                "Unable to map file '" + (deeper / "empty\x80.itc2").string() + "'\n"
                "Unable to map file '" + fifo.string() + "'\n");
}

TEST_F(HostileTree, WritesFailingPartWayLoseNothingAndTheWalkGoesOn) {
  // Under a 1 KiB file size limit with SIGXFSZ ignored, an image of 1,024 bytes
  // fits and one of 1,025 fails after its first 1,024 bytes went out.
  WriteWholeFile(out_ / "0123456789ABCDEF-02-40x40.png", std::vector<std::uint8_t>(9, 'e'));
  WriteWholeFile(library_ / "S" / "a.itc2",
                 BuildCacheFile({PngItem(1024), PngItem(1025), PngItem(3)}));
  WriteWholeFile(library_ / "S" / "T" / "b.itc2",
                 BuildCacheFile({PngItem(5000, 1), PngItem(6, 1)}));
  EXPECT_EQ(Run("trap '' XFSZ && ulimit -f 2 &&").output,
            "Dumping contents of a.itc2:\n\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-40x40.png'(1024)\n"
            "\t\t[ 2] unable to write file '0123456789ABCDEF-02-40x40.png'\n"
            "\t\t[ 3] wrote PNG image to file '0123456789ABCDEF-03-40x40.png'(3)\n"
            "Dumping contents of b.itc2:\n\tdumping items...\n"
            "\t\t[ 1] unable to write file '0000000000000001-01-40x40.png'\n"
            "\t\t[ 2] wrote PNG image to file '0000000000000001-02-40x40.png'(6)\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-40x40.png", std::string(1024, 'p')},
                               {"0123456789ABCDEF-02-40x40.png", std::string(9, 'e')},
                               {"0123456789ABCDEF-03-40x40.png", "ppp"},
                               {"0000000000000001-02-40x40.png", "pppppp"}}));
}

}  // namespace
}  // namespace artpeel::testing
