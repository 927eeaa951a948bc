// End-to-end tests: the built artpeel binary run in a fresh folder on crafted
// cache files, its report compared byte for byte and its files bit for bit.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::AppendBE32;
using tools::AppendFileHeader;
using tools::AppendItem;
using tools::BuildCacheFile;
using tools::FileHeaderSpec;
using tools::ItemSpec;

constexpr std::array<std::uint8_t, 8> kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

ItemSpec PngItem(std::string payload, std::uint32_t width = 600, std::uint32_t height = 600) {
  ItemSpec item;
  item.ImageKey = kKey;
  item.Width = width;
  item.Height = height;
  item.Payload.assign(payload.begin(), payload.end());
  return item;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The error code a failed open of a folder reports: EISDIR, or Windows's
// ERROR_ACCESS_DENIED.
std::string FolderErrorCode() { return TestingWindows() ? "0x00000005" : "0x00000015"; }

// The platform's path limit, terminator included.
std::size_t PathLimit() { return TestingWindows() ? 260 : 4096; }

// Each test gets a library folder to name on the command line and an empty
// folder to run in, side by side in a fresh temporary folder.
class ArtpeelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(library_);
    fs::create_directories(out_);
  }

  // Writes a cache file at `relative` below the library folder.
  fs::path AddFile(const fs::path& relative, const std::vector<std::uint8_t>& bytes) {
    WriteWholeFile(library_ / relative, bytes);
    return library_ / relative;
  }

  RunResult Run(const std::string& shell_prefix = "") {
    return RunArtpeel(out_, {NativePath(library_)}, shell_prefix);
  }

  // The report for one cache file X.itc2 in a subfolder, from its first line on.
  std::string ReportFor(const std::vector<std::uint8_t>& bytes, const std::string& name = "X.itc2") {
    AddFile(fs::path("S") / name, bytes);
    const RunResult result = Run();
    EXPECT_EQ(result.exit_status, 1);
    return result.output;
  }

  TempFolder temp_;
  fs::path library_ = temp_.path() / "lib";
  fs::path out_ = temp_.path() / "out";
};

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
  const std::string s1 =
      "Dumping contents of a.itc2:\n\tdumping items...\n"
      "Dumping contents of b.itc2:\n\tdumping items...\n"
      "Dumping contents of c.ITC2:\n\tdumping items...\n";
  const std::string s2 = "Dumping contents of d.Itc2:\n\tdumping items...\n";
  // Subfolders come in the platform's listing order, unsorted: either may be first.
  EXPECT_TRUE(result.output == s1 + s2 || result.output == s2 + s1) << result.output;
}

TEST_F(ArtpeelTest, FoldersNamedOnTheCommandLineAreWalkedInOrder) {
  const fs::path second = temp_.path() / "second";
  WriteWholeFile(second / "S" / "two.itc2", BuildCacheFile({}));
  AddFile("S/one.itc2", BuildCacheFile({}));
  const RunResult result =
      RunArtpeel(out_, {NativePath(second), NativePath(library_), NativePath(second)});
  EXPECT_EQ(result.output,
            "Dumping contents of two.itc2:\n\tdumping items...\n"
            "Dumping contents of one.itc2:\n\tdumping items...\n"
            "Dumping contents of two.itc2:\n\tdumping items...\n");
}

TEST_F(ArtpeelTest, RelativeFolderIsReportedWithAbsolutePaths) {
  fs::create_directories(library_ / "S" / "x.itc2");  // a folder: fails to open
  const RunResult result = RunArtpeel(temp_.path(), {"lib"});
  EXPECT_EQ(result.output, "Unable to open '" + NativePath(library_ / "S" / "x.itc2") +
                               "' Error code: " + FolderErrorCode() + "\n");
}

TEST_F(ArtpeelTest, FolderNamedLikeACacheFileFailsToOpenAndIsStillWalked) {
  AddFile("S/box.itc2/T/inner.itc2", BuildCacheFile({}));
  const RunResult result = Run();
  EXPECT_EQ(result.output, "Unable to open '" + NativePath(library_ / "S" / "box.itc2") +
                               "' Error code: " + FolderErrorCode() +
                               "\n"
                               "Dumping contents of inner.itc2:\n\tdumping items...\n");
}

TEST_F(ArtpeelTest, LinkedFoldersAreFollowedAndCyclesEnd) {
  const fs::path elsewhere = temp_.path() / "elsewhere";
  WriteWholeFile(elsewhere / "far.itc2", BuildCacheFile({}));
  fs::create_directories(library_ / "S");
  fs::create_directory_symlink(elsewhere, library_ / "S" / "link");
  fs::create_directory_symlink(library_, library_ / "S" / "up");   // back to the named folder
  fs::create_directory_symlink(library_ / "S", elsewhere / "loop");  // back into the walk path
  const RunResult result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, "Dumping contents of far.itc2:\n\tdumping items...\n");
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

TEST_F(ArtpeelTest, EmptyFileCannotBeMapped) {
  const fs::path empty = AddFile("S/empty.itc2", {});
  AddFile("S/T/after.itc2", BuildCacheFile({}));
  EXPECT_EQ(Run().output, "Unable to map file '" + NativePath(empty) +
                              "'\n"
                              "Dumping contents of after.itc2:\n\tdumping items...\n");
}

TEST_F(ArtpeelTest, SpecialFilesNeverBlockAndCannotBeMapped) {
  if (TestingWindows()) GTEST_SKIP() << "FIFOs, sockets and devices are POSIX files";
  fs::create_directories(library_ / "S" / "T");
  ASSERT_EQ(RunShell("mkfifo " + QuoteForShell((library_ / "S" / "T" / "pipe.itc2").string())), 0);
  fs::create_symlink("/dev/null", library_ / "S" / "T" / "null.itc2");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = (library_ / "S" / "T" / "sock.itc2").string();
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const fs::path empty = AddFile("S/empty.itc2", {});
  const RunResult result = Run();
  close(listener);
  // The special files come in listing order, after the folder above them.
  const std::string empty_line = "Unable to map file '" + empty.string() + "'\n";
  ASSERT_TRUE(result.output.starts_with(empty_line)) << result.output;
  std::vector<std::string> lines;
  std::istringstream rest(result.output.substr(empty_line.size()));
  for (std::string line; std::getline(rest, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  const std::string folder = (library_ / "S" / "T").string();
  EXPECT_EQ(lines, (std::vector<std::string>{"Unable to map file '" + folder + "/null.itc2'",
                                             "Unable to map file '" + folder + "/pipe.itc2'",
                                             "Unable to map file '" + folder + "/sock.itc2'"}));
}

TEST_F(ArtpeelTest, DanglingLinkIsAMissingFile) {
  if (TestingWindows()) GTEST_SKIP() << "Wine leaves dangling links out of folder listings";
  fs::create_directories(library_ / "S");
  fs::create_symlink(temp_.path() / "gone", library_ / "S" / "gone.itc2");
  EXPECT_EQ(Run().output, "Unable to open '" + NativePath(library_ / "S" / "gone.itc2") +
                              "' Error code: 0x00000002\n");
}

TEST_F(ArtpeelTest, UnreadableFileReportsPermissionDenied) {
  const fs::path locked = AddFile("S/locked.itc2", BuildCacheFile({}));
  // root reads everything: run as an ordinary user then, in folders it may use.
  const bool root = RunShell("test \"$(id -u)\" = 0") == 0;
  if (root && TestingWindows()) {
    GTEST_SKIP() << "root reads every file, and Wine runs only as the user owning its prefix";
  }
  const std::string prefix =
      (root ? "chmod -R a+rwX " + QuoteForShell(temp_.path().string()) + " && " : "") +
      "chmod 000 " + QuoteForShell(locked.string()) + " && " +
      (root ? "setpriv --reuid=65534 --regid=65534 --clear-groups --" : "");
  const RunResult result = RunArtpeel(out_, {NativePath(library_)}, prefix);
  EXPECT_EQ(result.output, "Unable to open '" + NativePath(locked) + "' Error code: " +
                               (TestingWindows() ? "0x00000005" : "0x0000000D") + "\n");
}

// ---- The reader --------------------------------------------------------------------

TEST_F(ArtpeelTest, WellFormedItemIsExportedUnchanged) {
  const std::string payload = "\x89PNG\r\n\x1a\n not really, but stored as is \x00\xff";
  EXPECT_EQ(ReportFor(BuildCacheFile({PngItem(payload)})),
            "Dumping contents of X.itc2:\n"
            "\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(" +
                std::to_string(payload.size()) + ")\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", payload}}));
}

TEST_F(ArtpeelTest, FileHeaderChecks) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string report;
  };
  FileHeaderSpec flags;
  flags.HeaderFlags = {2, 2, 2, 1};
  FileHeaderSpec no_artwork = flags;
  no_artwork.ContentTag = {'a', 'r', 't', 'x'};
  FileHeaderSpec wrong_signature;
  wrong_signature.Signature = {'i', 't', 'c', 'H'};
  FileHeaderSpec past_end;
  past_end.HeaderLength = 1000;
  std::vector<std::uint8_t> with_flags, with_no_artwork, with_wrong_signature, with_past_end;
  AppendFileHeader(with_flags, flags);
  AppendFileHeader(with_no_artwork, no_artwork);
  AppendFileHeader(with_wrong_signature, wrong_signature);
  AppendItem(with_wrong_signature, PngItem("x"));
  AppendFileHeader(with_past_end, past_end);
  with_past_end.resize(1000);  // HeaderLength equal to the size: no record at all
  const std::string head = "Dumping contents of X.itc2:\n";
  const Case cases[] = {
      {"flags", with_flags, head + "\tdifferent header flags detected!\n\tdumping items...\n"},
      {"artw", with_no_artwork,
       head + "\tdifferent header flags detected!\n\tdoesn't contain artwork\n"},
      {"itch", with_wrong_signature, head + "\tisn't a ITC2 file\n"},
      {"past end", with_past_end, head + "\tdumping items...\n"},
      // Bytes missing from a short header read as zeros.
      {"1 byte", Bytes("i"), head + "\tisn't a ITC2 file\n"},
      {"7 bytes", Bytes(std::string("\0\0\0\0itc", 7)), head + "\tisn't a ITC2 file\n"},
      {"8 bytes", Bytes(std::string("\0\0\0\0itch", 8)),
       head + "\tdifferent header flags detected!\n\tdoesn't contain artwork\n"},
  };
  for (const Case& c : cases) {
    TempFolder fresh;
    WriteWholeFile(fresh.path() / "lib" / "S" / "X.itc2", c.bytes);
    fs::create_directory(fresh.path() / "out");
    EXPECT_EQ(RunArtpeel(fresh.path() / "out", {NativePath(fresh.path() / "lib")}).output, c.report)
        << c.what;
  }
}

TEST_F(ArtpeelTest, RecordChecksAndIndexesKeepCountingAcrossEveryRecord) {
  std::vector<std::uint8_t> file;
  AppendFileHeader(file);
  ItemSpec not_an_item = PngItem("skipped");
  not_an_item.ItemTag = {'f', 'r', 'e', 'e'};
  AppendItem(file, not_an_item);  // [1]
  ItemSpec remote = PngItem("remote");
  remote.Location = {'a', 'b', 'c', 'd'};
  AppendItem(file, remote);  // [2]
  ItemSpec odd_header = PngItem("payload");
  odd_header.HeaderLength = 0xD4;  // the payload begins 212 bytes into the item
  odd_header.Unknowns_1 = {1, 2, 1, 1};
  AppendItem(file, odd_header);  // [3]
  ItemSpec unknown_format = PngItem("jpeg", 0x80000000u, 0xFFFFFFFFu);
  unknown_format.FormatCode = 0x4A504567;
  AppendItem(file, unknown_format);  // [4]
  AppendItem(file, PngItem(""));     // [5]
  EXPECT_EQ(ReportFor(file),
            "Dumping contents of X.itc2:\n"
            "\tdumping items...\n"
            "\t\t[ 1] is not an item\n"
            "\t\t[ 2] unknown file location 61626364\n"
            "\t\t[ 3] different Unknowns_1s detected!\n"
            "\t\t[ 3] different header Lengths detected.\n"
            "\t\t[ 3] wrote PNG image to file '0123456789ABCDEF-03-600x600.png'(7)\n"
            "\t\t[ 4] unknown file format: 4A504567\n"
            "\t\t[ 4] wrote Unknown image to file "
            "'0123456789ABCDEF-04--2147483648x-1.dat'(4)\n"
            "\t\t[ 5] wrote PNG image to file '0123456789ABCDEF-05-600x600.png'(0)\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-03-600x600.png", "payload"},
                               {"0123456789ABCDEF-04--2147483648x-1.dat", "jpeg"},
                               {"0123456789ABCDEF-05-600x600.png", ""}}));
}

TEST_F(ArtpeelTest, BrokenRecordsAreReportedWithoutReadingPastTheEnd) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string items;
    std::size_t files_written;
  };
  const auto file_with = [](const std::vector<ItemSpec>& items, std::size_t cut = 0) {
    std::vector<std::uint8_t> bytes = BuildCacheFile(items);
    bytes.resize(bytes.size() - cut);
    return bytes;
  };
  // A 100-byte record whose header claims 208 bytes, then a sound item.
  ItemSpec longer_header = PngItem("");
  longer_header.ItemLength = 100;
  std::vector<std::uint8_t> header_longer_than_item = BuildCacheFile({longer_header});
  header_longer_than_item.resize(28 + 100);
  AppendItem(header_longer_than_item, PngItem("ok"));
  ItemSpec zero_length = PngItem("abc");
  zero_length.ItemLength = 0;
  ItemSpec zero_not_item = zero_length;
  zero_not_item.ItemTag = {'n', 'o', 'p', 'e'};
  std::vector<std::uint8_t> seven_bytes_left = BuildCacheFile({PngItem("a")});
  seven_bytes_left.insert(seven_bytes_left.end(), {0, 0, 0, 9, 'i', 't', 'e'});
  std::vector<std::uint8_t> short_item = BuildCacheFile({PngItem("a")});
  AppendBE32(short_item, 208);
  short_item.insert(short_item.end(), {'i', 't', 'e', 'm'});
  short_item.resize(short_item.size() + 55);  // 63 bytes of header
  std::vector<std::uint8_t> short_record = short_item;
  short_record[short_record.size() - 59] = 'X';  // not an item: 8 bytes suffice
  const Case cases[] = {
      {"payload cut short", file_with({PngItem("abcdef")}, 1),
       "\t\t[ 1] runs past the end of the file\n", 0},
      {"header longer than item", header_longer_than_item,
       "\t\t[ 1] header is longer than the item\n"
       "\t\t[ 2] wrote PNG image to file '0123456789ABCDEF-02-600x600.png'(2)\n", 1},
      {"zero length item", file_with({zero_length, PngItem("never")}),
       "\t\t[ 1] header is longer than the item\n"
       "\t\t[ 1] has zero length; skipping the rest of the file\n", 0},
      {"zero length record", file_with({zero_not_item, PngItem("never")}),
       "\t\t[ 1] is not an item\n"
       "\t\t[ 1] has zero length; skipping the rest of the file\n", 0},
      {"7 bytes of record", seven_bytes_left,
       "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(1)\n"
       "\t\t[ 2] runs past the end of the file\n", 1},
      {"63 bytes of item header", short_item,
       "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(1)\n"
       "\t\t[ 2] runs past the end of the file\n", 1},
      {"8 bytes of other record", short_record,
       "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(1)\n"
       "\t\t[ 2] is not an item\n", 1},
  };
  for (const Case& c : cases) {
    TempFolder fresh;
    WriteWholeFile(fresh.path() / "lib" / "S" / "X.itc2", c.bytes);
    fs::create_directory(fresh.path() / "out");
    const RunResult result = RunArtpeel(fresh.path() / "out", {NativePath(fresh.path() / "lib")});
    EXPECT_EQ(result.output, "Dumping contents of X.itc2:\n\tdumping items...\n" + c.items)
        << c.what;
    EXPECT_EQ(FilesIn(fresh.path() / "out").size(), c.files_written) << c.what;
  }
}

TEST_F(ArtpeelTest, IndexesPastNinetyNineTakeThreeDigits) {
  std::vector<ItemSpec> items(100, ItemSpec{});
  items[0].Location = {'d', 'o', 'w', 'n'};
  items[98].Location = {'d', 'o', 'w', 'n'};
  items[99] = PngItem("last", 1, 2);
  const std::string report = ReportFor(BuildCacheFile(items));
  EXPECT_TRUE(report.find("\t\t[ 1] unknown file location 646F776E\n") != std::string::npos);
  EXPECT_TRUE(report.find("\t\t[99] unknown file location 646F776E\n") != std::string::npos);
  EXPECT_TRUE(report.ends_with("\t\t[100] wrote PNG image to file '0123456789ABCDEF-100-1x2.png'(4)\n"))
      << report;
}

// ---- The export ----------------------------------------------------------------------

TEST_F(ArtpeelTest, LaterImageOfTheSameNameReplacesTheEarlier) {
  AddFile("S/a.itc2", BuildCacheFile({PngItem("first")}));
  AddFile("S/T/b.itc2", BuildCacheFile({PngItem("second!")}));
  EXPECT_EQ(Run().output,
            "Dumping contents of a.itc2:\n\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(5)\n"
            "Dumping contents of b.itc2:\n\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(7)\n");
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

TEST_F(ArtpeelTest, NameThatCannotBeCreatedIsReportedAndTheWalkGoesOn) {
  fs::create_directory(out_ / "0123456789ABCDEF-01-600x600.png");
  AddFile("S/X.itc2", BuildCacheFile({PngItem("one"), PngItem("two")}));
  EXPECT_EQ(Run().output,
            "Dumping contents of X.itc2:\n\tdumping items...\n"
            "\t\t[ 1] unable to create file '0123456789ABCDEF-01-600x600.png'\n"
            "\t\t[ 2] wrote PNG image to file '0123456789ABCDEF-02-600x600.png'(3)\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-02-600x600.png", "two"}}));
}

TEST_F(ArtpeelTest, FailedWriteLeavesNoFileAndKeepsTheEarlierOne) {
  // Under a 1 KiB file size limit a 2000-byte image cannot be written. On POSIX
  // the signal the limit raises is left at its default, which would kill the
  // run half-way through a write: artpeel must turn it into a failed write
  // itself. Windows knows no such signal; there it stands for a full disk.
  const std::string big(2000, 'b');
  WriteWholeFile(out_ / "0123456789ABCDEF-01-600x600.png", Bytes("earlier"));
  AddFile("S/X.itc2", BuildCacheFile({PngItem(big), PngItem(big), PngItem("small")}));
  const char* signal_setting = TestingWindows() ? "trap '' XFSZ" : "trap - XFSZ";
  EXPECT_EQ(Run(std::string(signal_setting) + " && ulimit -f 2 &&").output,
            "Dumping contents of X.itc2:\n\tdumping items...\n"
            "\t\t[ 1] unable to write file '0123456789ABCDEF-01-600x600.png'\n"
            "\t\t[ 2] unable to write file '0123456789ABCDEF-02-600x600.png'\n"
            "\t\t[ 3] wrote PNG image to file '0123456789ABCDEF-03-600x600.png'(5)\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "earlier"},
                               {"0123456789ABCDEF-03-600x600.png", "small"}}));
}

// ---- Files another program holds open (Windows only) --------------------------------

TEST_F(ArtpeelTest, CacheFileHeldOpenByAnotherProgramIsReportedAndTheWalkGoesOn) {
  if (!TestingWindows()) GTEST_SKIP() << "only Windows opens files without sharing";
  const fs::path held = AddFile("S/held.itc2", BuildCacheFile({PngItem("held")}));
  AddFile("S/T/after.itc2", BuildCacheFile({PngItem("after")}));
  RunResult result;
  {
    const HeldOpen holder(held);
    ASSERT_TRUE(holder.held());
    result = Run();
  }
  EXPECT_EQ(result.output,
            "Unable to open '" + NativePath(held) +
                "' Error code: 0x00000020\n"
                "Dumping contents of after.itc2:\n\tdumping items...\n"
                "\t\t[ 1] wrote PNG image to file '0123456789ABCDEF-01-600x600.png'(5)\n");
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "after"}}));
}

TEST_F(ArtpeelTest, OutputFileHeldOpenByAnotherProgramIsKeptAndTheWalkGoesOn) {
  if (!TestingWindows()) GTEST_SKIP() << "only Windows opens files without sharing";
  const fs::path earlier = out_ / "0123456789ABCDEF-01-600x600.png";
  WriteWholeFile(earlier, Bytes("earlier"));
  AddFile("S/X.itc2", BuildCacheFile({PngItem("one"), PngItem("two")}));
  RunResult result;
  {
    const HeldOpen holder(earlier);
    ASSERT_TRUE(holder.held());
    result = Run();
  }
  EXPECT_EQ(result.output,
            "Dumping contents of X.itc2:\n\tdumping items...\n"
            "\t\t[ 1] unable to create file '0123456789ABCDEF-01-600x600.png'\n"
            "\t\t[ 2] wrote PNG image to file '0123456789ABCDEF-02-600x600.png'(3)\n");
  // Nothing lost: the held file keeps its bytes and no temporary file remains.
  EXPECT_EQ(FilesIn(out_), (std::map<std::string, std::string>{
                               {"0123456789ABCDEF-01-600x600.png", "earlier"},
                               {"0123456789ABCDEF-02-600x600.png", "two"}}));
}

}  // namespace
}  // namespace artpeel::testing

namespace artpeel::testing {
namespace {

// The report's blocks sorted: the walk's order is the platform's listing
// order, which differs between file systems.
std::vector<std::string> SortedFileBlocks(const std::string& report) {
  std::vector<std::string> blocks = FileBlocks(report);
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

TEST(SampleLibrary, ReportAndImagesMatchTheCheckedInLibrary) {
  TempFolder out;
  const RunResult result =
      RunArtpeel(out.path(), {NativePath(ARTPEEL_SOURCE_DIR "/examples/iTunes")});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(SortedFileBlocks(result.output),
            SortedFileBlocks(ReadWholeFile(ARTPEEL_SOURCE_DIR "/tests/golden/examples_report.txt")));
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
