// Tests of the operating-system layer on the real file system, the same for the
// POSIX and the Win32 implementation except where the platforms' codes differ.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#endif

#include "tests/test_files.h"

namespace artpeel::platform {
namespace {

namespace fs = std::filesystem;
using artpeel::testing::MapFileReadOnly;

#ifdef _WIN32
constexpr bool kWindows = true;
constexpr std::uint32_t kNotFoundCode = 2;  // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kFolderCode = 5;    // ERROR_ACCESS_DENIED
#else
constexpr bool kWindows = false;
constexpr std::uint32_t kNotFoundCode = 2;  // ENOENT
constexpr std::uint32_t kFolderCode = 21;   // EISDIR
#endif

// Runs each test in a fresh folder of its own, which is also the current
// directory (where WriteFileReplacing writes).
class PlatformTest : public ::testing::Test {
 protected:

  static void Write(const fs::path& path, const std::string& bytes) {
    artpeel::testing::WriteWholeFile(path, {bytes.begin(), bytes.end()});
  }
  // Every entry of the folder, with whether it is a folder.
  static std::map<std::string, bool> Entries(const fs::path& folder) {
    std::map<std::string, bool> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      entries[entry.path().filename().string()] = entry.is_directory();
    }
    return entries;
  }

  artpeel::testing::TempFolder temp_;
  artpeel::testing::InFolder in_temp_{temp_.path()};
};

TEST_F(PlatformTest, MapsAWholeFileAndReleasesEveryHandle) {
  Write("cache.itc2", std::string("\0itch\xff", 6));
  MappedFile file = MapFileReadOnly("cache.itc2");
  ASSERT_EQ(file.status, MapStatus::kMapped);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data), file.size),
            std::string("\0itch\xff", 6));
  ReleaseMappedFile(file);
  EXPECT_EQ(file.data, nullptr);
  EXPECT_EQ(file.file_handle, -1);
  EXPECT_EQ(file.mapping_handle, -1);
  // Nothing is left open: the file can be removed and mapped again at once.
  EXPECT_TRUE(fs::remove("cache.itc2"));
}

TEST_F(PlatformTest, AMappedFileIsHeldExclusivelyWhereThePlatformCan) {
  Write("cache.itc2", "itch");
  MappedFile first = MapFileReadOnly("cache.itc2");
  ASSERT_EQ(first.status, MapStatus::kMapped);
  MappedFile second = MapFileReadOnly("cache.itc2");
#ifdef _WIN32
  EXPECT_EQ(second.status, MapStatus::kOpenFailed);
  EXPECT_EQ(second.error_code, 0x20u);  // ERROR_SHARING_VIOLATION
#else
  EXPECT_EQ(second.status, MapStatus::kMapped);
#endif
  ReleaseMappedFile(second);
  ReleaseMappedFile(first);
  // Released, it can be opened again.
  MappedFile again = MapFileReadOnly("cache.itc2");
  EXPECT_EQ(again.status, MapStatus::kMapped);
  ReleaseMappedFile(again);
}

TEST_F(PlatformTest, EachViewShowsItsOwnFileWhateverWasMappedBefore) {
  // Views of small files are given back in bulk (on POSIX): 600 files fill
  // that many times over, a large one every hundredth, and one file is held
  // while three hundred others come and go.
  MappedFile held;
  std::string held_bytes;
  for (std::size_t i = 0; i < 600; ++i) {
    const std::string bytes(i % 100 == 99 ? 3 << 20 : 20000 + i, static_cast<char>('a' + i % 26));
    Write("cache.itc2", bytes);
    if (i == 200) {
      Write("held.itc2", held_bytes = bytes);
      held = MapFileReadOnly("held.itc2");
    }
    MappedFile file = MapFileReadOnly("cache.itc2");
    ASSERT_EQ(file.status, MapStatus::kMapped);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(file.data), file.size), bytes) << i;
    ReleaseMappedFile(file);
    if (i == 500) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(held.data), held.size), held_bytes);
      ReleaseMappedFile(held);
    }
  }
}

TEST_F(PlatformTest, AViewMappedAheadServesAtItsTurnWhileTheFileKeepsItsSize) {
  // As the look-ahead does: files opened and mapped ahead in batches of 60,
  // through the regions' turns and at last past their room, then each taken at
  // its turn; every seventh rewritten at another size in between.
  struct Ahead {
    MappedFile file;
    std::string name, bytes;
  };
  std::vector<Ahead> batch;
  std::size_t mapped_ahead = 0;
  for (std::size_t i = 0; i < 420; ++i) {
    Ahead next{{}, std::to_string(i) + ".itc2",
               std::string(20000 + 250 * i, static_cast<char>('a' + i % 26))};
    Write(next.name, next.bytes);
    next.file = OpenFileReadOnly(next.name.c_str());
    ASSERT_EQ(next.file.status, MapStatus::kOpened);
    if (MapAhead(next.file, false)) ++mapped_ahead;
    batch.push_back(std::move(next));
    if (batch.size() < 60) continue;
    for (std::size_t n = 0; n < batch.size(); ++n) {
      Ahead& turn = batch[n];
      const unsigned char* const view_ahead = turn.file.data;
      // (Windows holds the file without sharing: nothing else writes it.)
      const bool rewritten = kWindows ? false : n % 7 == 3;
      if (rewritten) Write(turn.name, turn.bytes = "rewritten");
      MapOpenedFile(turn.file);
      ASSERT_EQ(turn.file.status, MapStatus::kMapped) << turn.name;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(turn.file.data), turn.file.size),
                turn.bytes) << turn.name;
      if (!rewritten && view_ahead != nullptr) {
        EXPECT_EQ(turn.file.data, view_ahead);
      }
      ReleaseMappedFile(turn.file);
    }
    batch.clear();
  }
  if (!kWindows) {
    EXPECT_GT(mapped_ahead, 300u);
    EXPECT_LT(mapped_ahead, 420u);
  }
}

#ifdef __linux__
// The address space the process has mapped, in bytes.
std::uint64_t AddressSpaceInUse() {
  std::ifstream status("/proc/self/status");
  std::string field;
  std::uint64_t kib = 0;
  while (status >> field && field != "VmSize:") {}
  status >> kib;
  return kib << 10;
}

// Maps a small file and lets it go, then maps the large one under a limit that
// leaves room for it only once the space reserved for views of small files
// (4 MiB) is given back: whether it was mapped.
bool MapsLargeFileAfterSmallOne() {
  MappedFile small = MapFileReadOnly("small.itc2");
  ReleaseMappedFile(small);
  const rlim_t most = AddressSpaceInUse() + (5 << 20);
  const rlimit limit{most, most};
  setrlimit(RLIMIT_AS, &limit);
  MappedFile large = MapFileReadOnly("large.itc2");
  return large.status == MapStatus::kMapped && large.data[(8 << 20) - 1] == 'L';
}

TEST_F(PlatformTest, ReservedSpaceMakesWayForALargeFileUnderAnAddressSpaceLimit) {
  if (AddressSpaceInUse() > (std::uint64_t{1} << 36)) GTEST_SKIP() << "a sanitizer's shadow";
  Write("small.itc2", "small");
  Write("large.itc2", std::string(8 << 20, 'L'));
  EXPECT_EXIT(std::exit(MapsLargeFileAfterSmallOne() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// Maps four files ahead, then one that the system cannot map (a sysfs file):
// whether the views made stay whole, no view ahead is made after, and the
// walk still maps.
bool ViewsAheadOutliveAFailedOne() {
  std::vector<MappedFile> ahead;
  for (const char* name : {"a.itc2", "b.itc2", "c.itc2", "d.itc2"}) {
    ahead.push_back(OpenFileReadOnly(name));
    if (!MapAhead(ahead.back(), false)) return false;
  }
  MappedFile unmappable = OpenFileReadOnly("/sys/kernel/mm/transparent_hugepage/enabled");
  if (MapAhead(unmappable, false)) return false;
  MappedFile after = OpenFileReadOnly("e.itc2");
  if (MapAhead(after, false)) return false;
  MappedFile walks = MapFileReadOnly("e.itc2");
  bool whole = walks.status == MapStatus::kMapped && walks.data[0] == 'e';
  for (MappedFile& file : ahead) {
    MapOpenedFile(file);
    whole = whole && file.status == MapStatus::kMapped && file.data[file.size - 1] == 'v';
  }
  return whole;
}

TEST_F(PlatformTest, ViewsMadeAheadOutliveAViewThatCannotBeMade) {
  if (!fs::exists("/sys/kernel/mm/transparent_hugepage/enabled")) GTEST_SKIP() << "no sysfs";
  for (const char* name : {"a.itc2", "b.itc2", "c.itc2", "d.itc2", "e.itc2"}) {
    Write(name, std::string(1, name[0]) + std::string(30000, 'v'));
  }
  EXPECT_EXIT(std::exit(ViewsAheadOutliveAFailedOne() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(PlatformTest, FilesThatCannotBeMappedReportWhy) {
  Write("empty.itc2", "");
  fs::create_directory("folder.itc2");
  const MappedFile missing = MapFileReadOnly("missing.itc2");
  EXPECT_EQ(missing.status, MapStatus::kOpenFailed);
  EXPECT_EQ(missing.error_code, kNotFoundCode);
  const MappedFile folder = MapFileReadOnly("folder.itc2");
  EXPECT_EQ(folder.status, MapStatus::kOpenFailed);
  EXPECT_EQ(folder.error_code, kFolderCode);
  const MappedFile empty = MapFileReadOnly("empty.itc2");
  EXPECT_EQ(empty.status, MapStatus::kMapFailed);
  EXPECT_EQ(empty.data, nullptr);
  // A failed map leaves nothing open.
  EXPECT_TRUE(fs::remove("empty.itc2"));
}

TEST_F(PlatformTest, WritingReplacesTheNameOnlyWithACompleteFile) {
  const std::string image(3 << 20, 'i');  // several write calls' worth on some systems
  Write("image.png", "earlier");
  EXPECT_EQ(WriteFileReplacing("image.png", reinterpret_cast<const unsigned char*>(image.data()),
                               image.size()),
            WriteStatus::kWritten);
  EXPECT_EQ(WriteFileReplacing("empty.png", nullptr, 0), WriteStatus::kWritten);
  fs::create_directory("taken.png");
  EXPECT_EQ(WriteFileReplacing("taken.png", reinterpret_cast<const unsigned char*>("x"), 1),
            WriteStatus::kCreateFailed);
  EXPECT_EQ(artpeel::testing::ReadWholeFile("image.png"), image);
  EXPECT_EQ(artpeel::testing::ReadWholeFile("empty.png"), "");
  // No temporary file is left behind, whether the write succeeded or not.
  EXPECT_EQ(Entries("."), (std::map<std::string, bool>{
                              {"empty.png", false}, {"image.png", false}, {"taken.png", true}}));
}

TEST_F(PlatformTest, ListsEveryEntryButTheDotsAndTellsFoldersApart) {
  fs::create_directories("top/sub");
  Write("top/a.itc2", "a");
  Write("top/.hidden", "h");
  const std::string top = AbsolutePath("top");
  FolderListing listing;
  ASSERT_TRUE(ListFolder(top.c_str(), listing));
  std::map<std::string, bool> listed;
  for (const FolderEntry& entry : listing.entries) listed[listing.NameOf(entry)] = entry.is_folder;
  EXPECT_EQ(listed, (std::map<std::string, bool>{
                        {".hidden", false}, {"a.itc2", false}, {"sub", true}}));

  FolderListing empty;
  ASSERT_TRUE(ListFolder((top + kPathSeparator + "sub").c_str(), empty));
  EXPECT_TRUE(empty.entries.empty());
  FolderListing none;
  EXPECT_FALSE(ListFolder((top + kPathSeparator + "missing").c_str(), none));
  EXPECT_FALSE(ListFolder((top + kPathSeparator + "a.itc2").c_str(), none));

  // A folder wider than one read, listed in parts: the first, then the rest,
  // make the whole listing.
  constexpr std::size_t kWide = 1200;
  for (std::size_t i = 0; i < kWide; ++i) {
    Write("wide/" + std::string(40, 'n') + std::to_string(i), "");
  }
  const std::string wide = AbsolutePath("wide");
  FolderListing whole, parts;
  ASSERT_TRUE(ListFolder(wide.c_str(), whole));
  ASSERT_TRUE(ListFolder(wide.c_str(), parts, -1, true, true));
  if (parts.more_to_read) {
    EXPECT_LT(parts.entries.size(), kWide);
    ListRestOfFolder(parts.handle, parts);
  }
  CloseFolder(parts.handle);
  const auto names = [](const FolderListing& of) {
    std::map<std::string, bool> named;
    for (const FolderEntry& entry : of.entries) named[of.NameOf(entry)] = entry.is_folder;
    return named;
  };
  EXPECT_EQ(parts.entries.size(), kWide);
  EXPECT_EQ(names(parts), names(whole));
}

TEST_F(PlatformTest, FolderIdIsTheSameHoweverTheFolderIsReached) {
  fs::create_directories("top/sub");
  const std::string top = AbsolutePath("top");
  const std::string sub = top + kPathSeparator + "sub";
  const std::string sub_again = sub + kPathSeparator + ".." + kPathSeparator + "sub";
  FolderListing top_listing, sub_listing, again_listing;
  ASSERT_TRUE(ListFolder(top.c_str(), top_listing));
  ASSERT_TRUE(ListFolder(sub.c_str(), sub_listing));
  ASSERT_TRUE(ListFolder(sub_again.c_str(), again_listing));
  const auto id = [](const FolderListing& listing) {
    return std::pair(listing.id.volume, listing.id.index);
  };
  EXPECT_EQ(id(sub_listing), id(again_listing));
  EXPECT_NE(id(sub_listing), id(top_listing));
}

TEST_F(PlatformTest, AbsolutePathStartsFromTheCurrentDirectory) {
  const std::string absolute = AbsolutePath("lib");
  EXPECT_EQ(fs::path(absolute), fs::current_path() / "lib");
  EXPECT_EQ(AbsolutePath(absolute.c_str()), absolute);
#ifdef _WIN32
  EXPECT_EQ(absolute.substr(1, 2), ":\\") << absolute;
#endif
}

TEST(ConsoleWait, OnlyAConsoleMadeForTheRunAloneAndSeenByItsUserOrTheShellsWaits) {
  const ConsoleFacts own{1, true, true, true, true};  // a double-click in Explorer
  // A double-click on Windows 11: Windows Terminal shows a console whose window is not.
  const ConsoleFacts shells{1, false, true, true, true, true};
  struct Case {
    const char* what;
    ConsoleFacts facts;
    bool waits;
  };
  const Case cases[] = {
      {"own console", own, true},
      {"no console", {0, false, false, false, false}, false},
      {"a command prompt's console", {2, true, true, true, true}, false},
      {"a hidden console", {1, false, true, true, true}, false},
      {"input redirected", {1, true, false, true, true}, false},
      {"report redirected", {1, true, true, false, true}, false},
      {"errors redirected", {1, true, true, true, false}, false},
      {"the shell's hidden console", shells, true},
      {"the shell's console shared", {2, false, true, true, true, true}, false},
      {"the shell's console, report redirected", {1, false, true, false, true, true}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ShouldWaitForKey(c.facts), c.waits) << c.what;
}

}  // namespace
}  // namespace artpeel::platform
