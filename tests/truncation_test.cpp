// A cache file cut short by another process while it is mapped: the tests map a
// file, truncate it, then run the reading that DumpCacheFile would run next.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "cache/cache_reader.h"
#include "platform/platform.h"
#include "tests/test_files.h"
#include "tools/itc2_writer.h"

namespace artpeel {
namespace {

namespace fs = std::filesystem;
using testing::InFolder;
using testing::MapFileReadOnly;
using testing::TempFolder;
using tools::ItemSpec;

ItemSpec PngItem(std::size_t payload_size, std::uint64_t key) {
  return tools::PngItem(std::string(payload_size, 'Z'), key);
}

// Runs each test in a fresh current folder, where the export writes its files.
class TruncatedWhileMapped : public ::testing::Test {
 protected:

  // Maps a new cache file, then cuts it to `kept_size` bytes.
  platform::MappedFile MapThenTruncate(const std::string& name, const std::vector<ItemSpec>& items,
                                       std::uint64_t kept_size) {
    EXPECT_TRUE(tools::WriteBytesToFile(name, tools::BuildCacheFile(items)));
    platform::MappedFile file = MapFileReadOnly(name.c_str());
    EXPECT_EQ(file.status, platform::MapStatus::kMapped);
    fs::resize_file(name, kept_size);
    return file;
  }

  TempFolder temp_;
  InFolder in_temp_{temp_.path()};
};

TEST_F(TruncatedWhileMapped, EachFileIsReportedReleasedAndTheRunGoesOn) {
  // Cut to nothing: the first read of the header meets a lost page.
  platform::MappedFile emptied = MapThenTruncate("emptied.itc2", {PngItem(10, 1)}, 0);
  // Cut after its first page: the first image is whole and written; the second
  // runs into lost pages, so the file is reported cut there and no image file
  // is left; the third record is not read. 200,000 bytes outrun any page size.
  platform::MappedFile cut = MapThenTruncate(
      "cut.itc2", {PngItem(10, 2), PngItem(200'000, 3), PngItem(5, 4)}, 4096);

  ::testing::internal::CaptureStdout();
  DumpTally tally;
  DumpMappedCacheFile("lib/S/emptied.itc2", emptied, tally);
  DumpMappedCacheFile("lib/S/cut.itc2", cut, tally);
  platform::FlushReport();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Dumping contents of emptied.itc2:\n"
            "\tfile was truncated while being read\n"
            "Dumping contents of cut.itc2:\n"
            "\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0000000000000002-01-600x600.png'(10)\n"
            "\tfile was truncated while being read\n");
  std::map<std::string, std::string> written = testing::FilesIn(temp_.path());
  std::erase_if(written, [](const auto& file) { return file.first.ends_with(".itc2"); });
  EXPECT_EQ(written, (std::map<std::string, std::string>{
                         {"0000000000000002-01-600x600.png", std::string(10, 'Z')}}));
  // What was counted before each fault outlives the abandoned frames.
  EXPECT_EQ(tally.cache_files_read, 2u);
  EXPECT_EQ(tally.images_written, 1u);
  EXPECT_EQ(tally.image_bytes_written, 10u);
  EXPECT_EQ(tally.images_not_written, 1u);
  for (const platform::MappedFile* file : {&emptied, &cut}) {
    EXPECT_EQ(file->data, nullptr);
    EXPECT_EQ(file->file_handle, -1);
  }
}

TEST_F(TruncatedWhileMapped, AFileCutAfterItsViewAheadIsReadAsItIsAtItsTurn) {
  ASSERT_TRUE(tools::WriteBytesToFile(
      "cut.itc2", tools::BuildCacheFile({PngItem(10, 2), PngItem(200'000, 3), PngItem(5, 4)})));
  platform::MappedFile file = platform::OpenFileReadOnly("cut.itc2");
  ASSERT_TRUE(platform::MapAhead(file, false));
  fs::resize_file("cut.itc2", 4096);
  BringHeadersIn(file);  // meets the lost pages, and says nothing
  platform::MapOpenedFile(file);
  ASSERT_EQ(file.size, 4096u);
  ::testing::internal::CaptureStdout();
  DumpTally tally;
  DumpMappedCacheFile("lib/S/cut.itc2", file, tally);
  platform::FlushReport();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Dumping contents of cut.itc2:\n"
            "\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '0000000000000002-01-600x600.png'(10)\n"
            "\t\t[ 2] runs past the end of the file\n");
}

// The mapping the death test below reads outside any guard of its own.
const unsigned char* unguarded_mapping = nullptr;

void ReadUnguardedMapping(const platform::MappedFile& /*guarded*/, void* /*context*/) {
  volatile unsigned char byte = unguarded_mapping[0];
  static_cast<void>(byte);
}

void ReadNothing(const platform::MappedFile& /*guarded*/, void* /*context*/) {}

void ReadFirstByte(const platform::MappedFile& guarded, void* /*context*/) {
  volatile unsigned char byte = guarded.data[0];
  static_cast<void>(byte);
}

TEST_F(TruncatedWhileMapped, FaultOutsideTheGuardedFileStillEndsTheProcess) {
  // The default death test style forks: the child works in this test's folder,
  // which the fixture removes. A fault in another mapping during a guarded read,
  // and one after a guarded read has ended, both take the default action.
  EXPECT_DEATH(
      {
        platform::MappedFile guarded = MapThenTruncate("guarded.itc2", {PngItem(1, 1)}, 0);
        platform::MappedFile other = MapThenTruncate("other.itc2", {PngItem(1, 1)}, 0);
        unguarded_mapping = other.data;
        platform::ReadMappedFileGuarded(guarded, ReadUnguardedMapping, nullptr);
      },
      "");
  EXPECT_DEATH(
      {
        platform::MappedFile guarded = MapThenTruncate("guarded.itc2", {PngItem(1, 1)}, 0);
        platform::ReadMappedFileGuarded(guarded, ReadNothing, nullptr);
        unguarded_mapping = guarded.data;
        ReadUnguardedMapping(guarded, nullptr);
      },
      "");
  // A bus error sent by another process ends it as before the guard.
  EXPECT_DEATH(
      {
        platform::MappedFile guarded = MapThenTruncate("guarded.itc2", {PngItem(1, 1)}, 0);
        platform::ReadMappedFileGuarded(guarded, ReadFirstByte, nullptr);
        kill(getpid(), SIGBUS);
      },
      "");
}

#ifdef __linux__
TEST_F(TruncatedWhileMapped, AMemoryErrorNoticeLeavesTheRunAndTheGuard) {
  // The guard is in place once a guarded read has run. A notice of failing
  // memory ("action optional"), as the kernel sends it, must not end the run,
  // and the next file cut short is still caught.
  platform::MappedFile first = MapThenTruncate("first.itc2", {PngItem(1, 1)}, 0);
  EXPECT_FALSE(platform::ReadMappedFileGuarded(first, ReadFirstByte, nullptr));
  siginfo_t notice = {};
  notice.si_signo = SIGBUS;
  notice.si_code = BUS_MCEERR_AO;
  ASSERT_EQ(syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), SIGBUS, &notice), 0);
  platform::MappedFile later = MapThenTruncate("later.itc2", {PngItem(1, 2)}, 0);
  EXPECT_FALSE(platform::ReadMappedFileGuarded(later, ReadFirstByte, nullptr));
  for (platform::MappedFile* file : {&first, &later}) platform::ReleaseMappedFile(*file);
}
#endif

}  // namespace
}  // namespace artpeel
