// End-to-end tests of the export: temporary names already taken in the current
// directory, by leftovers or by links, are passed over and never written
// through; cache files past the size that is mapped in one go at opening are
// exported just the same; and a cache file cut short while it is read loses
// only what was cut.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using TemporaryFiles = LibraryTest;
using LargeCacheFiles = LibraryTest;

TEST_F(TemporaryFiles, TakenNamesArePassedOverAndLeftAsTheyWere) {
  AddFile("S/X.itc2", tools::BuildCacheFile({tools::PngItem("new")}));
  const std::string name = "0123456789ABCDEF-01-600x600.png";
  // The first temporary names the export would take: a leftover of an earlier
  // run, a link to a file outside, a folder.
  WriteWholeFile(out_ / ("." + name + ".0.part"), {'o', 'l', 'd'});
  const fs::path target = temp_.path() / "target";
  WriteWholeFile(target, {'k', 'e', 'e', 'p'});
  fs::create_symlink(target, out_ / ("." + name + ".1.part"));
  fs::create_directory(out_ / ("." + name + ".2.part"));

  EXPECT_EQ(Run().output, ReportOf("X.itc2", WroteLine(1, name, 3)));
  EXPECT_EQ(ReadWholeFile(target), "keep");
  EXPECT_TRUE(fs::is_symlink(out_ / ("." + name + ".1.part")));
  EXPECT_TRUE(fs::is_directory(out_ / ("." + name + ".2.part")));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                              {name, "new"}, {"." + name + ".0.part", "old"}}));
}

TEST_F(TemporaryFiles, ImagesAreReplacedWhereNoFileCanBeLinkedAndANameNotMadeIsSaid) {
  if (!FaultsCanBeInjected()) GTEST_SKIP() << "puts faults into this build's program";
  // Twelve images written once, then replaced on a file system that links no
  // unnamed file in (a security module, no hard links): every image is
  // replaced. Then, into an empty folder, with no room for one more name:
  // every image is one that could not be created, and nothing is left.
  const auto run_with = [&](const std::string& payload, const std::string& fault) {
    std::vector<tools::ItemSpec> items;
    std::string lines;
    std::map<std::string, std::string> images;
    for (int i = 1; i <= 12; ++i) {
      items.push_back(tools::PngItem(payload + std::to_string(i), tools::kSampleKey, 1, 1));
      char name[64];
      std::snprintf(name, sizeof name, "0123456789ABCDEF-%02d-1x1.png", i);
      const std::string bytes = payload + std::to_string(i);
      char line[128];
      std::snprintf(line, sizeof line, "\t\t[%2d] unable to create file '%s'\n", i, name);
      lines += fault == "link:ENOSPC" ? line : WroteLine(i, name, bytes.size());
      if (fault != "link:ENOSPC") images[name] = bytes;
    }
    AddFile("S/X.itc2", tools::BuildCacheFile(items));
    EXPECT_EQ(Run(fault.empty() ? "" : WithFault(fault)).output, ReportOf("X.itc2", lines));
    EXPECT_EQ(FilesIn(out_), images);
  };
  run_with("first ", "");
  run_with("second ", "link:EPERM");
#if ARTPEEL_HAVE_O_TMPFILE
  // Only a build that links unnamed files in has a name to make at the end.
  fs::remove_all(out_);
  fs::create_directory(out_);
  run_with("third ", "link:ENOSPC");
#endif
}

// Bytes in which a block put at the wrong place, or a page lost or repeated,
// shows: a 4,099-byte pattern (no divisor of a page size) over and over.
std::string Pattern(std::size_t size, std::size_t seed) {
  std::string block(4099, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + seed);
  std::string bytes;
  bytes.reserve(size + block.size());
  while (bytes.size() < size) bytes += block;
  bytes.resize(size);
  return bytes;
}

TEST_F(LargeCacheFiles, FilesMappedEagerlyOrLazilyExportEveryByte) {
  // Cache files up to 16 MiB have all their pages mapped when opened, larger
  // ones page by page as they are read: one of each. In the large one a record
  // that is not an item spans a hole that leaves no data on the disk, and the
  // image after it straddles the 16 MiB mark.
  const std::size_t mib = std::size_t{1} << 20;
  const std::string small = Pattern(mib, 1);
  const std::string first = Pattern(100'000, 2);
  const std::string second = Pattern(200'000, 3);
  AddFile("S/small.itc2", tools::BuildCacheFile({tools::PngItem(small, 1, 1, 1)}));
  const tools::ItemSpec before = tools::PngItem(first, 2, 1, 1);
  const std::size_t hole_at = tools::kFileHeaderSize + tools::AppendedItemSize(before);
  const std::size_t after_at = 16 * mib - 100'000;
  tools::ItemSpec hole;
  hole.ItemTag = tools::Tag("hole");
  hole.ItemLength = static_cast<std::uint32_t>(after_at - hole_at);
  std::vector<std::uint8_t> after;
  tools::AppendItem(after, tools::PngItem(second, 3, 1, 1));
  {
    std::ofstream out(AddFile("T/large.itc2", tools::BuildCacheFile({before, hole})),
                      std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(after_at));
    out.write(reinterpret_cast<const char*>(after.data()),
              static_cast<std::streamsize>(after.size()));
  }
  ASSERT_GT(fs::file_size(library_ / "T" / "large.itc2"), 16 * mib);

  const RunResult result = Run();
  EXPECT_EQ(Sorted(FileBlocks(result.output)),
            Sorted({ReportOf("small.itc2", WroteLine(1, "0000000000000001-01-1x1.png", mib)),
                    ReportOf("large.itc2",
                             WroteLine(1, "0000000000000002-01-1x1.png", first.size()) +
                                 "\t\t[ 2] is not an item\n" +
                                 WroteLine(3, "0000000000000003-03-1x1.png", second.size()))}));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0000000000000001-01-1x1.png", small},
                               {"0000000000000002-01-1x1.png", first},
                               {"0000000000000003-03-1x1.png", second}}));
}

TEST_F(LargeCacheFiles, FileCutShortWhileReadEndsItsReportAndTheWalkGoesOn) {
  // Thousands of items not stored locally, then a large image, then more items.
  // The run is held early in the file (its report is left unread, so it stops
  // once the pipe is full) while another program cuts the file at a page
  // boundary inside the image: the file is reported cut there (not the image
  // file as failing), and the file after it is still read.
  constexpr int kImageIndex = 4000;
  tools::ItemSpec remote;
  remote.Location = tools::Tag("abcd");
  std::vector<tools::ItemSpec> items(kImageIndex - 1, remote);
  items.push_back(tools::PngItem(Pattern(200'000, 4), tools::kSampleKey, 1, 1));
  items.insert(items.end(), 1000, remote);
  const fs::path cut_file = AddFile("S/cut.itc2", tools::BuildCacheFile(items));
  AddFile("S/T/after.itc2", tools::BuildCacheFile({tools::PngItem("after")}));
  const std::size_t image_at = tools::kFileHeaderSize + (kImageIndex - 1) * 208 + 208;

  RunningArtpeel run = StartArtpeel(out_, {NativePath(library_)});
  std::string report;
  for (std::string line; !report.ends_with("[ 1] unknown file location 61626364\n") &&
                         ReadReportLine(run, line);) {
    report += line + "\n";
  }
  fs::resize_file(cut_file, (image_at / 4096 + 4) * 4096);
  const int status = FinishArtpeel(run, &report);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

  std::string items_read;
  for (int index = 1; index < kImageIndex; ++index) {
    char line[64];
    std::snprintf(line, sizeof line, "\t\t[%2d] unknown file location 61626364\n", index);
    items_read += line;
  }
  EXPECT_EQ(report, ReportOf("cut.itc2", items_read) +
                        "\tfile was truncated while being read\n" +
                        ReportOf("after.itc2", WroteLine(1, "0123456789ABCDEF-01-600x600.png", 5)));
  EXPECT_EQ(FilesIn(out_),
            (std::map<std::string, std::string>{{"0123456789ABCDEF-01-600x600.png", "after"}}));
}

}  // namespace
}  // namespace artpeel::testing
