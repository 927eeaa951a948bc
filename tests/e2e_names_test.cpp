// End-to-end tests of names beyond ASCII: folders and cache files named in
// several scripts, or ending in dots and spaces, reached below a named folder
// and named themselves; paths near the path limit; names too long for
// Windows's narrow search record; names Windows takes for devices, under every
// spelling of the folder. Run
// against artpeel.exe under Wine, they show that its report is byte for byte
// the Linux build's, the paths' drive letter and separators aside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

struct Expected {
  std::string report;  // what the run prints for the file
  std::string image_name;
  std::string image;
};

// Writes a cache file at `path` holding one PNG item whose key and payload come
// from `id`, and returns what artpeel reports and writes for it.
Expected AddCacheFile(const fs::path& path, std::uint64_t id) {
  const std::string payload = "image " + std::to_string(id);
  const std::uint64_t key = 0xA1B2C3D400000000u + id;
  WriteWholeFile(path, tools::BuildCacheFile({tools::PngItem(payload, key, 1, 1)}));
  char name[64];
  std::snprintf(name, sizeof name, "A1B2C3D4%08" PRIX64 "-01-1x1.png", id);
  return {ReportOf(path.filename().string(), WroteLine(1, name, payload.size())), name, payload};
}

// The length of a UTF-8 text in UTF-16 units, which is what Windows's path
// limit counts.
std::size_t Utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;  // a character starts here
    if (byte >= 0xF0) ++units;           // outside the BMP: a surrogate pair
  }
  return units;
}

class NamesTest : public ::testing::Test {
 protected:
  // A fresh folder to run in, so that each run's images can be told apart.
  fs::path OutFolder(const std::string& name) {
    fs::create_directories(temp_.path() / name);
    return temp_.path() / name;
  }

  TempFolder temp_;
  fs::path library_ = temp_.path() / "lib";
};

TEST_F(NamesTest, FoldersAndFilesInEveryScriptAreWalkedAndReportedAsOnLinux) {
  // Each branch below the library holds one cache file, so that its report does
  // not depend on the order the system lists folders in.
  struct Branch {
    std::string folder;
    std::string cache_file;  // relative to the folder
    std::string report;
  };
  std::vector<Branch> branches = {
      {"Дмитрий", "Кэш/обложка.itc2", ""},
      {"Ελληνικά", "Εξώφυλλα/φωτογραφία.itc2", ""},
      {"音楽", "アルバム/カバー写真.ITC2", ""},
      {"Müller", "Café/crème brûlée.itc2", ""},
      {"🎵 Mix", "😀🎶/🌈.itc2", ""},
      // Names that ordinary Windows paths lose a dot or a space of.
      {"Dots", "a./.../b../d. ./e /y.itc2", ""},
  };
  std::map<std::string, std::string> images;
  std::uint64_t id = 0;
  for (Branch& branch : branches) {
    const Expected expected = AddCacheFile(library_ / branch.folder / branch.cache_file, id++);
    branch.report = expected.report;
    images[expected.image_name] = expected.image;
  }
  // A folder named like a cache file prints its full path, non-ASCII all along.
  const fs::path folder_named_like_a_file = library_ / "Müller" / "Café" / "Noël" / "Ça.itc2";
  fs::create_directories(folder_named_like_a_file);
  branches[3].report += "Unable to open '" + NativePath(folder_named_like_a_file) +
                        "' Error code: " + (TestingWindows() ? "0x00000005" : "0x00000015") +
                        "\n";
  std::string all_reports;
  for (const Branch& branch : branches) all_reports += branch.report;

  // Reached as subfolders of the library, in whatever order it lists them.
  const fs::path out = OutFolder("out");
  RunResult result = RunArtpeel(out, {NativePath(library_)});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(FileBlocks(all_reports)));
  EXPECT_EQ(FilesIn(out), images);
  EXPECT_EQ(result.errors, "");

  // Each branch named on the command line, in the order given.
  const fs::path named_out = OutFolder("named");
  std::vector<std::string> arguments;
  for (const Branch& branch : branches) arguments.push_back(NativePath(library_ / branch.folder));
  result = RunArtpeel(named_out, arguments);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, all_reports);
  EXPECT_EQ(FilesIn(named_out), images);
  EXPECT_EQ(result.errors, "");
}

TEST_F(NamesTest, PathLimitCountsCharactersNotBytes) {
  // Windows's limit of 260 counts UTF-16 units, terminator included: a chain of
  // CJK folders, three bytes a character, goes far past 260 bytes below it.
  // The tree is built to Windows's limit everywhere; Linux's is far away.
  constexpr std::size_t kLimit = 260;
  const auto length = [](const fs::path& path) { return Utf16Length(NativePath(path)); };
  std::string name;
  for (int i = 0; i < 40; ++i) name += "字";
  fs::path deep = library_;
  std::vector<std::string> blocks;
  std::uint64_t id = 0;
  while (length(deep / name / "*.itc2") + 2 < kLimit) {
    deep /= name;
    blocks.push_back(AddCacheFile(deep / "層.itc2", id++).report);
  }
  // Below it, a folder whose search pattern fits the limit with its terminator
  // exactly, and one whose pattern is a character longer.
  const std::size_t fitting = kLimit - 1 - length(deep / "*.itc2") - 1;
  std::string fits, over = "語";
  for (std::size_t i = 0; i < fitting; ++i) fits += "語";
  over += fits;
  blocks.push_back(AddCacheFile(deep / fits / "合.itc2", id++).report);
  const std::string over_block = AddCacheFile(deep / over / "超.itc2", id++).report;
  if (!TestingWindows()) blocks.push_back(over_block);
  ASSERT_GT(NativePath(deep / fits).size(), 600u);  // bytes, for all that the path fits

  const RunResult result = RunArtpeel(OutFolder("out"), {NativePath(library_)});
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(blocks));
}

TEST_F(NamesTest, NamesLongerThanTheNarrowSearchRecordAreWalkedWhole) {
  // A byte that is not UTF-8 in a Linux name reaches a program under Wine as
  // U+FFFD, three bytes of UTF-8: 86 make 258, and the names below pass the
  // narrow search record's 259. Each is walked as itself, never cut short.
  const std::string replaced(86, '\xFF');
  std::vector<std::string> blocks;
  std::uint64_t id = 0;
  for (const std::string& folder :
       {"S/" + replaced, "S/" + replaced + "\xFF", "S/" + replaced + "字", "S/" + replaced + "😀",
        "T/" + replaced + "a", "T/" + replaced + "ab"}) {
    blocks.push_back(AddCacheFile(library_ / folder / "c.itc2", id++).report);
  }
  const RunResult result = RunArtpeel(OutFolder("out"), {NativePath(library_)});
  EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(blocks));
  EXPECT_EQ(result.errors, "");
}

TEST_F(NamesTest, ANamedFolderEndingInADotIsReachedOnlyInTheLiteralForm) {
  if (!TestingWindows()) GTEST_SKIP() << "only Windows drops a closing dot";
  const std::string dotted = NativePath(temp_.path() / "lib.");
  const std::string plain = AddCacheFile(temp_.path() / "lib/S/plain.itc2", 1).report;
  const std::string literal = AddCacheFile(temp_.path() / "lib./S/dotted.itc2", 2).report;
  EXPECT_EQ(RunArtpeel(OutFolder("out1"), {dotted}).output, plain);
  EXPECT_EQ(RunArtpeel(OutFolder("out2"), {"\\\\?\\" + dotted}).output, literal);
  EXPECT_EQ(RunArtpeel(OutFolder("out3"), {"\\\\?\\" + dotted + "\\"}).output, literal);
}

TEST_F(NamesTest, CacheFilesNamedLikeDevicesAreReadAsFilesHoweverTheFolderIsSpelled) {
  // Windows would open the device for each of these names at the end of an
  // ordinary path, whatever the extension; each is a plain file here.
  std::vector<std::string> blocks;
  std::map<std::string, std::string> images;
  std::uint64_t id = 0;
  for (const char* name : {"S/NUL.itc2", "S/CON.itc2", "S/COM1.itc2", "S/AUX.itc2", "S/PRN.itc2",
                           "S/LPT1.itc2", "S/lpt9.itc2", "S/AUX/COM9.itc2"}) {
    const Expected expected = AddCacheFile(library_ / name, id++);
    blocks.push_back(expected.report);
    images[expected.image_name] = expected.image;
  }
  // The folder named as a user might name it; each run goes from a folder
  // beside the library. A UNC path reaches it under Wine through the prefix's
  // dosdevices/unc folder.
  std::vector<std::string> spellings = {NativePath(library_), NativePath(temp_.path()) + "/../" +
                                                                  temp_.path().filename().string() +
                                                                  "/./lib"};
  const char* prefix = std::getenv("WINEPREFIX");
  if (TestingWindows()) {
    const std::string unix_path = library_.string();
    std::string rooted = unix_path;
    std::replace(rooted.begin(), rooted.end(), '/', '\\');
    spellings.insert(spellings.end(), {"Z:" + unix_path, "..\\lib", "Z:..\\lib", rooted,
                                       "\\\\?\\" + NativePath(library_)});
    if (prefix != nullptr) {
      const fs::path unc = fs::path(prefix) / "dosdevices" / "unc" / "localhost";
      fs::create_directories(unc);
      if (!fs::is_symlink(unc / "root")) fs::create_directory_symlink("/", unc / "root");
      spellings.push_back("\\\\localhost\\root" + rooted);
    }
  } else {
    spellings.push_back("../lib");
  }
  for (std::size_t i = 0; i < spellings.size(); ++i) {
    const fs::path out = OutFolder("out" + std::to_string(i));
    const RunResult result = RunArtpeel(out, {spellings[i]});
    EXPECT_EQ(Sorted(FileBlocks(result.output)), Sorted(blocks)) << spellings[i];
    EXPECT_EQ(FilesIn(out), images) << spellings[i];
    EXPECT_EQ(result.errors, "") << spellings[i];
  }
}

}  // namespace
}  // namespace artpeel::testing
