// End-to-end tests on hostile trees: the built artpeel binary run on deep, wide
// and oddly named folder trees, under low limits on descriptors, address space
// and stack.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::BuildCacheFile;
using tools::PngItem;

const std::string kImageName = "0123456789ABCDEF-01-600x600.png";

// Address-space limits starve the sanitizers' shadow memory and valgrind alike.
bool RunsUnderAMemoryChecker() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  const char* launcher = std::getenv("ARTPEEL_TEST_LAUNCHER");
  return launcher != nullptr && *launcher != '\0';
}

class HostileTree : public LibraryTest {
 protected:
  void SetUp() override {
    // ulimit and names with line breaks are POSIX's own.
    if (TestingWindows()) GTEST_SKIP() << "POSIX trees and limits";
  }
  // rm copes with trees deeper than the path limit, which remove_all does not.
  void TearDown() override { RunShell("rm -rf " + QuoteForShell(library_.string())); }
};

TEST_F(HostileTree, DeepChainIsWalkedToThePathLimitWithFewDescriptors) {
  // A chain of 2,100 folders: the walk goes down it as far as the path limit
  // lets it, some 2,000 levels, past a cache file 1,500 levels down, and passes
  // over the rest. A walk that held a descriptor per level would run out after
  // 256.
  {
    // Paths down there are too long to name whole: step down one folder at a time.
    const InFolder in_library(library_);
    for (int depth = 1; depth <= 2100; ++depth) {
      fs::create_directory("d");
      fs::current_path("d");
      if (depth == 1500) WriteWholeFile("c.itc2", BuildCacheFile({PngItem("abc")}));
    }
    WriteWholeFile("beyond.itc2", BuildCacheFile({PngItem("abc")}));
  }
  // Nor does the walk's stack grow with the depth: 32 KiB are enough, with
  // helpers or without (where no memory checker needs more).
  std::vector<std::string> limits = {"ulimit -n 256 &&"};
  if (!RunsUnderAMemoryChecker()) {
    limits.insert(limits.end(), {"ulimit -s 32 &&", "ulimit -s 32 && ulimit -n 16 &&"});
  }
  for (const std::string& limit : limits) {
    SCOPED_TRACE(limit);
    const RunResult result = Run(limit);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, ReportOf("c.itc2", WroteLine(1, kImageName, 3)));
    EXPECT_EQ(FilesIn(out_).size(), 1u);
  }
}

TEST_F(HostileTree, FolderOfSeventyThousandEntries) {
  // More entries than a 16-bit count holds. Hard links make them cheap to
  // create: 69,998 names that almost match, one cache file, and one subfolder
  // with a cache file of its own. (A file takes at most 65,000 links on ext4:
  // two files share them out.)
  const fs::path wide = library_ / "S";
  WriteWholeFile(wide / "entry-000000.itc", {});
  WriteWholeFile(wide / "entry-000001.itc", {});
  WriteWholeFile(wide / "a.itc2", BuildCacheFile({PngItem("a", 1)}));
  WriteWholeFile(wide / "T" / "b.itc2", BuildCacheFile({PngItem("bb", 2)}));
  for (int i = 2; i < 69'998; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "entry-%06d.itc", i);
    fs::create_hard_link(wide / (i % 2 == 0 ? "entry-000000.itc" : "entry-000001.itc"),
                         wide / name);
  }
  EXPECT_EQ(Run("ulimit -n 256 &&").output,
            ReportOf("a.itc2", WroteLine(1, "0000000000000001-01-600x600.png", 1)) +
                ReportOf("b.itc2", WroteLine(1, "0000000000000002-01-600x600.png", 2)));
}

TEST_F(HostileTree, ManyCacheFilesReleaseEveryDescriptorAndMapping) {
  // 400 names of one 4 MiB cache file. Each is opened, mapped and exported in
  // turn: were a descriptor kept, 64 would run out; were a mapping kept, 256 MiB
  // of address space would (where no memory checker needs more of it). Then
  // the same with only 3 descriptors free, the rest taken by the parent, and
  // under 64 MiB of address space: what the look-ahead takes leaves the walk
  // what a walk without it needs.
  tools::FileHeaderSpec far_first_record;
  far_first_record.HeaderLength = 4 << 20;
  AddFile("S/c000.itc2", BuildCacheFile({PngItem("seven b")}, far_first_record));
  std::vector<std::string> expected;
  for (int i = 0; i < 400; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "c%03d.itc2", i);
    if (i > 0) fs::create_hard_link(library_ / "S" / "c000.itc2", library_ / "S" / name);
    expected.push_back(ReportOf(name, WroteLine(1, kImageName, 7)));
  }
  std::vector<std::string> limits = {"ulimit -n 64 && "};
  if (!RunsUnderAMemoryChecker()) {
    limits = {"ulimit -n 64 && ulimit -v 262144 && ", "ulimit -v 65536 && ",
              "ulimit -n 64 && perl -MPOSIX -e 'POSIX::dup2(0, $_) for 3..60; exec @ARGV'"};
  }
  for (const std::string& limit : limits) {
    SCOPED_TRACE(limit);
    const RunResult result = Run(limit);
    EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(expected));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(FilesIn(out_).size(), 1u);
  }
}

TEST_F(HostileTree, FileTooLargeToMapIsReportedAndTheWalkGoesOn) {
  if (RunsUnderAMemoryChecker()) GTEST_SKIP() << "needs an address-space limit";
  // A sparse 1 GiB file cannot be mapped under a 128 MiB address-space limit.
  fs::create_directories(library_ / "S" / "T");
  const fs::path huge = library_ / "S" / "huge.itc2";
  ASSERT_EQ(RunShell("truncate -s 1G " + QuoteForShell(huge.string())), 0);
  AddFile("S/T/after.itc2", BuildCacheFile({PngItem("abc")}));
  EXPECT_EQ(Run("ulimit -v 131072 && ").output,
            "Unable to map view of file '" + huge.string() + "'\n" +
                ReportOf("after.itc2", WroteLine(1, kImageName, 3)));
}

TEST_F(HostileTree, WhatTheWalkMapsAloneItMapsWithHelpersUnderAnAddressSpaceLimit) {
  if (RunsUnderAMemoryChecker()) GTEST_SKIP() << "needs an address-space limit";
  // Sparse files of 8 to 72 MiB, a MiB apart, under limits 4 MiB apart: at
  // each, the files that fit what is left are mapped and the rest fail, the
  // same with helpers (whose stacks and listings must make way) as with none
  // (ulimit -n 16 starts none).
  fs::create_directories(library_ / "S");
  for (int mib = 8; mib <= 72; ++mib) {
    const fs::path file = library_ / "S" / ("f" + std::to_string(mib) + ".itc2");
    ASSERT_EQ(RunShell("truncate -s " + std::to_string(mib) + "M " + QuoteForShell(file.string())), 0);
  }
  // A build held to plain POSIX (as macOS, whose allocator reserves no arena
  // per thread) leaves glibc's arenas unbounded: here the environment bounds
  // them as the Linux build does itself.
#if ARTPEEL_HAVE_M_ARENA_MAX
  const std::string arenas;
#else
  const std::string arenas = "export MALLOC_ARENA_MAX=1 && ";
#endif
  for (int limit = 40; limit <= 120; limit += 4) {
    const std::string ulimit = arenas + "ulimit -v " + std::to_string(limit * 1024) + " && ";
    SCOPED_TRACE(ulimit);
    EXPECT_EQ(Run(ulimit + "ulimit -n 1024 &&").output, Run(ulimit + "ulimit -n 16 &&").output);
  }
}

TEST_F(HostileTree, OddNamesArePrintedAsTheyAre) {
  const fs::path odd = library_ / "sub folder\nline two\xff";
  WriteWholeFile(odd / "a b\n\xfe.itc2", BuildCacheFile({PngItem("abcd")}));
  const fs::path deeper = odd / "deeper \xc3\x28";
  WriteWholeFile(deeper / "empty\x80.itc2", {});
  EXPECT_EQ(Run().output, ReportOf("a b\n\xfe.itc2", WroteLine(1, kImageName, 4)) +
                              "Unable to map file '" + (deeper / "empty\x80.itc2").string() +
                              "'\n");
}

}  // namespace
}  // namespace artpeel::testing
