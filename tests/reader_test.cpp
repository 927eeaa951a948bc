// Unit tests of the pieces whose faults the end-to-end tests would show only
// indirectly: the bounds checks under hostile offsets, name building, and the
// summary's wording of counts too large for a test library.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "cache/byte_view.h"
#include "cache/image_export.h"
#include "cache/itc2_format.h"
#include "walk/walk_order.h"
#include "cli/progress.h"

namespace artpeel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ByteView, BoundsHoldForOffsetsAndCountsThatWouldOverflow) {
  const unsigned char bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
  const ByteView view{bytes, sizeof bytes};
  EXPECT_TRUE(Contains(view, 0, 5));
  EXPECT_TRUE(Contains(view, 5, 0));
  EXPECT_FALSE(Contains(view, 1, 5));
  EXPECT_FALSE(Contains(view, 6, 0));
  EXPECT_FALSE(Contains(view, kMax, 2));
  EXPECT_FALSE(Contains(view, 2, kMax));

  EXPECT_EQ(ReadBE32(view, 0), 0x12345678u);
  EXPECT_EQ(ReadBE32(view, 2), 0x56789A00u)
      << "bytes past the end read as zero";
  EXPECT_EQ(ReadBE32(view, kMax - 1), 0u);

  ByteView part{};
  EXPECT_TRUE(SubView(view, 1, 3, &part));
  EXPECT_EQ(part.data, bytes + 1);
  EXPECT_EQ(part.size, 3u);
  EXPECT_FALSE(SubView(view, 4, kMax - 2, &part));
}

TEST(OutputName, LongestNameFitsAndIndexesWidenPastTwoDigits) {
  CacheItem item{};
  item.ImageKey = {0xFF, 0xFE, 0x00, 0x01, 0xA0, 0x0B, 0xC0, 0x0D};
  item.FormatCode = 0;
  item.ItemIndex = std::numeric_limits<std::int64_t>::max();
  item.Width = std::numeric_limits<std::int32_t>::min();
  item.Height = -1;
  char name[kOutputNameCapacity];
  FormatOutputName(item, name);
  EXPECT_STREQ(name, "FFFE0001A00BC00D-9223372036854775807--2147483648x-1.dat");
  item.ItemIndex = 7;
  item.FormatCode = kFormatPng;
  item.Width = 600;
  item.Height = 32;
  FormatOutputName(item, name);
  EXPECT_STREQ(name, "FFFE0001A00BC00D-07-600x32.png");
}

TEST(CacheFileName, EndingMatchesInAnyCaseAndNothingElse) {
  for (const char* name : {"a.itc2", "A.ITC2", "x.iTc2", ".itc2", "a.b.itc2"}) {
    EXPECT_TRUE(IsCacheFileName(name)) << name;
  }
  for (const char* name : {"itc2", "a.itc", "a.itc2 ", "a.itc2.bak", "a_itc2", ""}) {
    EXPECT_FALSE(IsCacheFileName(name)) << name;
  }
}

TEST(Summary, CountsAreGroupedSizesScaledAndLongRunsInMinutesAndHours) {
  using std::chrono::milliseconds;
  DumpTally tally;
  tally.cache_files_read = 1;
  tally.images_written = 1'234'567;
  tally.image_bytes_written = std::uint64_t{5} << 40;
  EXPECT_EQ(SummaryText(tally, milliseconds(3'725'000)),
            "1 cache file read, 1,234,567 images written (5.0 TiB) in 1 h 02 min");
  tally.cache_files_read = 1000;
  tally.cache_files_not_read = 1;
  tally.images_written = 1;
  tally.image_bytes_written = 1;
  tally.images_not_written = 12;
  EXPECT_EQ(SummaryText(tally, milliseconds(187'400)),
            "1,000 cache files read, 1 image written (1 byte) in 3 min 07 s; "
            "12 images not written, 1 cache file not read");
  tally.image_bytes_written = 1'572'864;
  EXPECT_EQ(ProgressText(tally), "1,000 cache files read, 1 image written (1.5 MiB)");
}

}  // namespace
}  // namespace artpeel
