// End-to-end tests: the built artpeel binary run in a fresh folder on crafted
// cache files, its report compared byte for byte and its files bit for bit.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::BuildCacheFile;
using tools::ItemSpec;
using tools::PngItem;

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The error code a failed open of a folder reports: EISDIR, or Windows's
// ERROR_ACCESS_DENIED.
std::string FolderErrorCode() { return TestingWindows() ? "0x00000005" : "0x00000015"; }

// The platform's path limit, terminator included.
std::size_t PathLimit() { return TestingWindows() ? 260 : 4096; }

using ArtpeelTest = LibraryTest;

// ---- The command line ------------------------------------------------------------

TEST_F(ArtpeelTest, UsageTextWithoutLineBreakAndStatusZero) {
  const RunResult result = RunArtpeel(out_, {});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "usage: " + ProgramName() +
                               " iTunesFolder [Second iTunesFolder]...\n"
                               "\tit will dump all embedded images to the current directory.");
}

TEST_F(ArtpeelTest, MissingFoldersAndOptionLikeArgumentsPrintNothing) {
  AddFile("direct.itc2", BuildCacheFile({PngItem("x")}));  // directly in the named folder
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"-h"}, {"--version"}, {NativePath(temp_.path() / "missing")},
        {NativePath(library_)}, {NativePath(library_ / "direct.itc2")}}) {
    const RunResult result = RunArtpeel(out_, arguments);
    EXPECT_EQ(result.exit_status, 1) << arguments[0];
    EXPECT_EQ(result.output, "") << arguments[0];
  }
  EXPECT_TRUE(FilesIn(out_).empty());
}

// ---- The walk ----------------------------------------------------------------------

TEST_F(ArtpeelTest, SubfolderFilesComeBeforeDeeperOnesAndEachSubtreeIsWalkedWhole) {
  const auto file = BuildCacheFile({});
  AddFile("S1/a.itc2", file);
  AddFile("S1/T/b.itc2", file);
  AddFile("S1/T/U/c.ITC2", file);
  AddFile("S2/d.Itc2", file);
  AddFile("S2/not-a-cache.itc", file);
  AddFile("S2/itc2", file);
  const RunResult result = Run();
  const std::string s1 = ReportOf("a.itc2") + ReportOf("b.itc2") + ReportOf("c.ITC2");
  const std::string s2 = ReportOf("d.Itc2");
  // Subfolders come in the platform's listing order, unsorted: either may be first.
  EXPECT_TRUE(result.output == s1 + s2 || result.output == s2 + s1) << result.output;
}

TEST_F(ArtpeelTest, FoldersNamedOnTheCommandLineAreWalkedInOrder) {
  const fs::path second = temp_.path() / "second";
  WriteWholeFile(second / "S" / "two.itc2", BuildCacheFile({}));
  AddFile("S/one.itc2", BuildCacheFile({}));
  const RunResult result =
      RunArtpeel(out_, {NativePath(second), NativePath(library_), NativePath(second)});
  EXPECT_EQ(result.output, ReportOf("two.itc2") + ReportOf("one.itc2") + ReportOf("two.itc2"));
}

TEST_F(ArtpeelTest, FolderNamedLikeACacheFileFailsToOpenAndIsStillWalked) {
  // The library is named relatively: paths are reported absolute.
  AddFile("S/box.itc2/T/inner.itc2", BuildCacheFile({}));
  const RunResult result = RunArtpeel(temp_.path(), {"lib"});
  EXPECT_EQ(result.output, "Unable to open '" + NativePath(library_ / "S" / "box.itc2") +
                               "' Error code: " + FolderErrorCode() + "\n" +
                               ReportOf("inner.itc2"));
}

TEST_F(ArtpeelTest, LinkedFoldersAreFollowedAndCyclesEnd) {
  // A and B link to each other, A to itself and B to the named folder; S links
  // out to a folder whose link leads back into the walk path. Each folder is
  // walked once, on the first way in, whichever way the listing yields first.
  const fs::path elsewhere = temp_.path() / "elsewhere";
  WriteWholeFile(elsewhere / "far.itc2", BuildCacheFile({}));
  AddFile("S/A/a.itc2", BuildCacheFile({}));
  AddFile("S/B/b.itc2", BuildCacheFile({}));
  fs::create_directory_symlink("../B", library_ / "S" / "A" / "toB");
  fs::create_directory_symlink("../A", library_ / "S" / "B" / "toA");
  fs::create_directory_symlink(".", library_ / "S" / "A" / "self");
  fs::create_directory_symlink("../..", library_ / "S" / "B" / "top");
  fs::create_directory_symlink(elsewhere, library_ / "S" / "link");
  fs::create_directory_symlink(library_ / "S", elsewhere / "loop");
  const RunResult result = Run("timeout 60");
  EXPECT_EQ(result.exit_status, 1);
  // Whichever of A and B comes first takes the other along through its link.
  const std::string far = ReportOf("far.itc2");
  bool matched = false;
  for (const std::string& linked : {ReportOf("a.itc2") + ReportOf("b.itc2"),
                                    ReportOf("b.itc2") + ReportOf("a.itc2")}) {
    matched = matched || result.output == linked + far || result.output == far + linked;
  }
  EXPECT_TRUE(matched) << result.output;
}

TEST_F(ArtpeelTest, FolderBeyondThePathLimitIsPassedOver) {
  // Grow a chain of folders while there is room for a further one below it.
  fs::path deep = library_;
  std::string expected;
  const std::string name(TestingWindows() ? 20 : 200, 'd');
  while (NativePath(deep / name / "*.itc2").size() + 2 < PathLimit()) {
    deep /= name;
    WriteWholeFile(deep / "c.itc2", BuildCacheFile({}));
    expected += "Dumping contents of c.itc2:\n\tdumping items...\n";
  }
  ASSERT_NE(deep, library_);
  // Below it, a folder whose pattern fits the limit with its terminator exactly,
  // and one whose pattern is a character longer. Absolute paths this long are too
  // long for the test's own file calls on Linux: the shell makes them, relatively.
  const std::size_t fitting = PathLimit() - 1 - NativePath(deep / "*.itc2").size() - 1;
  const std::string fits(fitting, 'f');
  const std::string over(fitting + 1, 'o');
  ASSERT_EQ(RunShell("cd " + QuoteForShell(deep.string()) + " && mkdir " + fits + " " + over +
                     " && cp c.itc2 " + fits + " && : > " + over + "/c.itc2"),
            0);
  expected += "Dumping contents of c.itc2:\n\tdumping items...\n";
  EXPECT_EQ(Run().output, expected);
}

TEST_F(ArtpeelTest, FilesThatCannotBeMappedNeverBlockTheWalk) {
  // An empty file in S; in S/T a FIFO, a link to a device and a socket, none of
  // which may be opened for a read that blocks; a sound file below them.
  const fs::path empty = AddFile("S/empty.itc2", {});
  AddFile("S/T/U/after.itc2", BuildCacheFile({}));
  std::vector<std::string> special_lines;
  int listener = -1;
  if (!TestingWindows()) {  // FIFOs, sockets and devices are POSIX files
    const fs::path folder = library_ / "S" / "T";
    ASSERT_EQ(RunShell("mkfifo " + QuoteForShell((folder / "pipe.itc2").string())), 0);
    fs::create_symlink("/dev/null", folder / "null.itc2");
    listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = (folder / "sock.itc2").string();
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    for (const char* name : {"null.itc2", "pipe.itc2", "sock.itc2"}) {
      special_lines.push_back("Unable to map file '" + (folder / name).string() + "'");
    }
  }
  const RunResult result = Run("timeout 60");
  if (listener >= 0) close(listener);
  // S's file comes first, then T's in listing order, then U's.
  const std::string empty_line = "Unable to map file '" + NativePath(empty) + "'\n";
  const std::string after = ReportOf("after.itc2");
  ASSERT_TRUE(result.output.starts_with(empty_line) && result.output.ends_with(after))
      << result.output;
  EXPECT_EQ(Sorted(Lines(result.output.substr(
                empty_line.size(), result.output.size() - empty_line.size() - after.size()))),
            special_lines);
}

TEST_F(ArtpeelTest, LinksToNoFileCannotBeOpened) {
  if (TestingWindows()) GTEST_SKIP() << "Wine leaves such links out of folder listings";
  // A dangling link, a link to itself, and two links to each other.
  const fs::path folder = library_ / "S";
  fs::create_directories(folder);
  fs::create_symlink(temp_.path() / "gone", folder / "gone.itc2");
  fs::create_symlink("loop.itc2", folder / "loop.itc2");
  fs::create_symlink("there.itc2", folder / "back.itc2");
  fs::create_symlink("back.itc2", folder / "there.itc2");
  const auto line = [&](const char* name, const char* code) {
    return "Unable to open '" + (folder / name).string() + "' Error code: " + code;
  };
  EXPECT_EQ(Sorted(Lines(Run("timeout 60").output)),
            (std::vector<std::string>{line("back.itc2", "0x00000028"),
                                      line("gone.itc2", "0x00000002"),
                                      line("loop.itc2", "0x00000028"),
                                      line("there.itc2", "0x00000028")}));
}

TEST_F(ArtpeelTest, UnreadableFileReportsPermissionDenied) {
  const fs::path locked = AddFile("S/locked.itc2", BuildCacheFile({}));
  if (RunningAsRoot() && TestingWindows()) {
    GTEST_SKIP() << "root reads every file, and Wine runs only as the user owning its prefix";
  }
  const RunResult result = RunArtpeelUnprivileged(
      temp_, out_, {NativePath(library_)}, "chmod 000 " + QuoteForShell(locked.string()) + " &&");
  EXPECT_EQ(result.output, "Unable to open '" + NativePath(locked) + "' Error code: " +
                               (TestingWindows() ? "0x00000005" : "0x0000000D") + "\n");
}

// ---- The reader --------------------------------------------------------------------

TEST_F(ArtpeelTest, ImagesAreWrittenAsStoredAndIndexesCountEveryRecord) {
  const std::string png = "\x89PNG\r\n\x1a\n not really, but stored as is \x00\xff";
  ItemSpec not_an_item = PngItem("skipped");
  not_an_item.ItemTag = tools::Tag("free");
  ItemSpec remote = PngItem("remote");
  remote.Location = tools::Tag("abcd");
  ItemSpec odd_header = PngItem("payload");
  odd_header.HeaderLength = 0xD4;  // the payload begins 212 bytes into the item
  odd_header.Unknowns_1 = {1, 2, 1, 1};
  ItemSpec unknown_format = PngItem("jpeg", tools::kSampleKey, 0x80000000u, 0xFFFFFFFFu);
  unknown_format.FormatCode = tools::kFormatJpeg;
  AddFile("S/X.itc2", BuildCacheFile({PngItem(png), not_an_item, remote, odd_header,
                                      unknown_format, PngItem("")}));
  const RunResult result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output,
            ReportOf("X.itc2",
                     WroteLine(1, "0123456789ABCDEF-01-600x600.png", png.size()) +
                         "\t\t[ 2] is not an item\n"
                         "\t\t[ 3] unknown file location 61626364\n"
                         "\t\t[ 4] different Unknowns_1s detected!\n"
                         "\t\t[ 4] different header Lengths detected.\n" +
                         WroteLine(4, "0123456789ABCDEF-04-600x600.png", 7) +
                         "\t\t[ 5] unknown file format: 4A504567\n"
                         "\t\t[ 5] wrote Unknown image to file "
                         "'0123456789ABCDEF-05--2147483648x-1.dat'(4)\n" +
                         WroteLine(6, "0123456789ABCDEF-06-600x600.png", 0)));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", png},
                               {"0123456789ABCDEF-04-600x600.png", "payload"},
                               {"0123456789ABCDEF-05--2147483648x-1.dat", "jpeg"},
                               {"0123456789ABCDEF-06-600x600.png", ""}}));
}

// The seed corpus holds small cache files broken in every way the reader
// reports. Each one's report must stay what tests/golden/corpus_report.txt
// says; with ARTPEEL_TEST_WRITE_EXPECTED=1 in the environment the test writes
// that file from the run instead, for review.
TEST_F(ArtpeelTest, EveryCorpusInputGivesItsExpectedReport) {
  const fs::path corpus = ARTPEEL_SOURCE_DIR "/tests/corpus";
  const fs::path expected_report = ARTPEEL_SOURCE_DIR "/tests/golden/corpus_report.txt";
  fs::create_directories(library_ / "S");
  for (const fs::directory_entry& input : fs::directory_iterator(corpus)) {
    fs::copy_file(input.path(), library_ / "S" / (input.path().filename().string() + ".itc2"));
  }
  const RunResult result = Run();
  EXPECT_EQ(result.exit_status, 1);
  const std::vector<std::string> blocks = FileBlocks(result.output);
  std::string sorted_report;
  for (const std::string& block : Sorted(blocks)) sorted_report += block;
  ASSERT_EQ(sorted_report.size(), result.output.size()) << "lines outside the files' blocks";
  if (std::getenv("ARTPEEL_TEST_WRITE_EXPECTED") != nullptr) {
    WriteWholeFile(expected_report, Bytes(sorted_report));
  }
  EXPECT_EQ(sorted_report, ReadWholeFile(expected_report));
  // Every image is there with the size its last wrote-line gives, in the order
  // of this run: the seeds share names.
  std::map<std::string, std::size_t> reported;
  const std::string opening = " image to file '";
  for (std::size_t at = result.output.find(opening); at != std::string::npos;
       at = result.output.find(opening, at + 1)) {
    const std::size_t name = at + opening.size();
    const std::size_t name_end = result.output.find("'(", name);
    reported[result.output.substr(name, name_end - name)] =
        std::stoul(result.output.substr(name_end + 2));
  }
  std::map<std::string, std::size_t> written;
  for (const auto& [name, bytes] : FilesIn(out_)) written[name] = bytes.size();
  EXPECT_EQ(written, reported);
}

// ---- The export ----------------------------------------------------------------------

TEST_F(ArtpeelTest, LaterImageOfTheSameNameReplacesTheEarlierAndNamesTakenByFoldersFail) {
  fs::create_directory(out_ / "0123456789ABCDEF-02-600x600.png");
  AddFile("S/a.itc2", BuildCacheFile({PngItem("first"), PngItem("folder")}));
  AddFile("S/T/b.itc2", BuildCacheFile({PngItem("second!")}));
  EXPECT_EQ(Run().output,
            ReportOf("a.itc2", WroteLine(1, "0123456789ABCDEF-01-600x600.png", 5) +
                                   "\t\t[ 2] unable to create file "
                                   "'0123456789ABCDEF-02-600x600.png'\n") +
                ReportOf("b.itc2", WroteLine(1, "0123456789ABCDEF-01-600x600.png", 7)));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "second!"}}));
}

TEST_F(ArtpeelTest, OutputGetsANewFilesPermissionsAndReplacesLinksWithoutFollowing) {
  const fs::path target = temp_.path() / "target";
  WriteWholeFile(target, Bytes("keep me"));
  fs::create_symlink(target, out_ / "0123456789ABCDEF-01-600x600.png");
  fs::create_hard_link(target, out_ / "0123456789ABCDEF-02-600x600.png");
  AddFile("S/X.itc2", BuildCacheFile({PngItem("one"), PngItem("two")}));
  Run("umask 027 &&");
  EXPECT_EQ(ReadWholeFile(target), "keep me");
  EXPECT_FALSE(fs::is_symlink(out_ / "0123456789ABCDEF-01-600x600.png"));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "one"},
                               {"0123456789ABCDEF-02-600x600.png", "two"}}));
  // Windows has no umask; a new file there gets the normal attributes instead.
  if (!TestingWindows()) {
    EXPECT_EQ(fs::status(out_ / "0123456789ABCDEF-01-600x600.png").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  }
}

TEST_F(ArtpeelTest, WritesFailingPartWayLoseNothingAndTheWalkGoesOn) {
  // Under a 1 KiB file size limit an image of 1,024 bytes fits and one of 1,025
  // fails after its first 1,024 bytes went out. On POSIX the signal the limit
  // raises is left at its default, which would kill the run half-way through a
  // write: artpeel must turn it into a failed write itself. Windows knows no
  // such signal; there the limit stands for a full disk.
  const std::string earlier = "earlier";
  WriteWholeFile(out_ / "0123456789ABCDEF-02-600x600.png", Bytes(earlier));
  AddFile("S/a.itc2", BuildCacheFile({PngItem(std::string(1024, 'p')),
                                      PngItem(std::string(1025, 'p')), PngItem("ppp")}));
  AddFile("S/T/b.itc2", BuildCacheFile({PngItem(std::string(5000, 'p'), 1), PngItem("six", 1)}));
  const char* signal_setting = TestingWindows() ? "trap '' XFSZ" : "trap - XFSZ";
  EXPECT_EQ(Run(std::string(signal_setting) + " && ulimit -f 2 &&").output,
            ReportOf("a.itc2", WroteLine(1, "0123456789ABCDEF-01-600x600.png", 1024) +
                                   "\t\t[ 2] unable to write file "
                                   "'0123456789ABCDEF-02-600x600.png'\n" +
                                   WroteLine(3, "0123456789ABCDEF-03-600x600.png", 3)) +
                ReportOf("b.itc2", "\t\t[ 1] unable to write file "
                                   "'0000000000000001-01-600x600.png'\n" +
                                   WroteLine(2, "0000000000000001-02-600x600.png", 3)));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", std::string(1024, 'p')},
                               {"0123456789ABCDEF-02-600x600.png", earlier},
                               {"0123456789ABCDEF-03-600x600.png", "ppp"},
                               {"0000000000000001-02-600x600.png", "six"}}));
}

// ---- Files another program holds open (Windows only) --------------------------------

TEST_F(ArtpeelTest, FilesAndFoldersHeldOpenByAnotherProgramAreReportedAndKept) {
  if (!TestingWindows()) GTEST_SKIP() << "only Windows opens files without sharing";
  // A cache file that cannot be opened, and an earlier output file that cannot
  // be replaced: both are reported, the earlier file keeps its bytes, and no
  // temporary file remains. One held until 200 ms after the walk reaches it
  // (once the image before it is in place) is read, and so is a folder held
  // until 300 ms after the walk reaches it (once that file's image is in place).
  const fs::path held = AddFile("S/held.itc2", BuildCacheFile({PngItem("held")}));
  AddFile("S/T/after.itc2", BuildCacheFile({PngItem("one"), PngItem("two")}));
  const fs::path brief = AddFile("S/T/U/brief.itc2", BuildCacheFile({PngItem("brief", 1)}));
  const fs::path folder =
      AddFile("S/T/U/V/in.itc2", BuildCacheFile({PngItem("in", 2)})).parent_path();
  const fs::path earlier = out_ / "0123456789ABCDEF-01-600x600.png";
  WriteWholeFile(earlier, Bytes("earlier"));
  RunResult result;
  {
    const HeldOpen cache_holder(held);
    const HeldOpen output_holder(earlier);
    std::optional<HeldOpen> folder_holder(std::in_place, folder);
    RunningArtpeel run;
    {
      const HeldOpen brief_holder(brief);
      ASSERT_TRUE(cache_holder.held() && output_holder.held() && brief_holder.held() &&
                  folder_holder->held());
      run = StartArtpeel(out_, {NativePath(library_)});
      for (int i = 0; i < 6000 && !fs::exists(out_ / "0123456789ABCDEF-02-600x600.png"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (int i = 0; i < 6000 && !fs::exists(out_ / "0000000000000001-01-600x600.png"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    folder_holder.reset();
    FinishArtpeel(run, &result.output);
  }
  EXPECT_EQ(result.output,
            "Unable to open '" + NativePath(held) + "' Error code: 0x00000020\n" +
                ReportOf("after.itc2",
                         "\t\t[ 1] unable to create file '0123456789ABCDEF-01-600x600.png'\n" +
                             WroteLine(2, "0123456789ABCDEF-02-600x600.png", 3)) +
                ReportOf("brief.itc2", WroteLine(1, "0000000000000001-01-600x600.png", 5)) +
                ReportOf("in.itc2", WroteLine(1, "0000000000000002-01-600x600.png", 2)));
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "earlier"},
                               {"0123456789ABCDEF-02-600x600.png", "two"},
                               {"0000000000000001-01-600x600.png", "brief"},
                               {"0000000000000002-01-600x600.png", "in"}}));
  const HeldOpen named_holder(folder);  // held for all of a run: reported once
  EXPECT_EQ(RunArtpeel(out_, {NativePath(folder)}).errors,
            "artpeel: cannot read folder '" + NativePath(folder) + "': Sharing violation\n");
}

using ConcurrentRuns = LibraryTest;  // not run under valgrind: no memory check, and slow there

TEST_F(ConcurrentRuns, RunsIntoOneFolderReportEveryImageWritten) {
  // Three runs over copies of one library write the same 1,000 names at once.
  // On Windows each holds a name open for a moment after renaming its file to
  // it, when another's rename over it fails.
  const std::vector<std::string> copies = {"a", "b", "c"};
  for (std::uint64_t file = 0; file < 10; ++file) {
    std::vector<ItemSpec> items;
    for (std::uint64_t i = 0; i < 100; ++i) items.push_back(PngItem("image", file << 8 | i, 1, 1));
    for (const std::string& copy : copies) {
      AddFile(fs::path(copy) / "S" / (std::to_string(file) + ".itc2"), BuildCacheFile(items));
    }
  }
  std::vector<RunningArtpeel> runs;
  for (const std::string& copy : copies) {
    runs.push_back(StartArtpeel(out_, {NativePath(library_ / copy)}));
  }
  for (RunningArtpeel& run : runs) {
    std::string report;
    FinishArtpeel(run, &report);
    EXPECT_EQ(Lines(report).size(), 1020u);  // 10 files of 100 images
    EXPECT_EQ(report.find("unable"), std::string::npos);
  }
  EXPECT_EQ(FilesIn(out_).size(), 1000u);
}

TEST_F(ConcurrentRuns, RunsOverOneLibraryAtOnceEachReadEveryFile) {
  // On Windows a run holds the files it reads, and those it opens ahead, unshared:
  // other runs wait for them, not lose them. Five pairs, then four, each into its own folder.
  for (std::uint64_t file = 0; file < 150; ++file) {
    AddFile("S/" + std::to_string(file % 15) + "/" + std::to_string(file) + ".itc2",
            BuildCacheFile({PngItem(std::string(20000, 'p'), file)}));
  }
  int folders = 0;
  for (const std::size_t at_once : {2u, 2u, 2u, 2u, 2u, 4u}) {
    std::vector<RunningArtpeel> runs;
    while (runs.size() < at_once) {
      fs::create_directory(out_ / std::to_string(++folders));
      runs.push_back(StartArtpeel(out_ / std::to_string(folders), {NativePath(library_)}));
    }
    for (RunningArtpeel& run : runs) {
      std::string report;
      FinishArtpeel(run, &report);
      EXPECT_EQ(FileBlocks(report).size(), 150u);  // a file lost adds no block
    }
  }
}

}  // namespace
}  // namespace artpeel::testing

namespace artpeel::testing {
namespace {

TEST(SampleLibrary, ReportAndImagesMatchTheCheckedInLibrary) {
  TempFolder out;
  const RunResult result =
      RunArtpeel(out.path(), {NativePath(ARTPEEL_SOURCE_DIR "/examples/iTunes")});
  EXPECT_EQ(result.exit_status, 1);
  // The walk's order is the platform's listing order, which differs between
  // file systems: the files' blocks are compared sorted.
  EXPECT_EQ(Sorted(FileBlocks(result.output)),
            Sorted(FileBlocks(ReadWholeFile(ARTPEEL_SOURCE_DIR "/tests/golden/examples_report.txt"))));
  const std::map<std::string, std::string> files = FilesIn(out.path());
  EXPECT_EQ(files.size(), 12u);
  for (const auto& [name, bytes] : files) {
    if (name.ends_with(".png")) {
      EXPECT_TRUE(bytes.starts_with("\x89PNG\r\n\x1a\n")) << name;
    }
  }
}

}  // namespace
}  // namespace artpeel::testing
