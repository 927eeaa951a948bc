// End-to-end tests of the export: temporary names already taken in the current
// directory, by leftovers or by links, are passed over and never written
// through; and cache files past the size that is mapped in one go at opening
// are exported just the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

TEST(TemporaryFiles, TakenNamesArePassedOverAndLeftAsTheyWere) {
  TempFolder temp;
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  tools::ItemSpec item;
  item.ImageKey = tools::KeyFromU64(0x0123456789ABCDEF);
  item.Width = 600;
  item.Height = 600;
  item.Payload = {'n', 'e', 'w'};
  WriteWholeFile(temp.path() / "lib" / "S" / "X.itc2", tools::BuildCacheFile({item}));
  const std::string name = "0123456789ABCDEF-01-600x600.png";
  // The first temporary names the export would take: a leftover of an earlier
  // run, a link to a file outside, a folder.
  WriteWholeFile(out / ("." + name + ".0.part"), {'o', 'l', 'd'});
  const fs::path target = temp.path() / "target";
  WriteWholeFile(target, {'k', 'e', 'e', 'p'});
  fs::create_symlink(target, out / ("." + name + ".1.part"));
  fs::create_directory(out / ("." + name + ".2.part"));

  const RunResult result = RunArtpeel(out, {(temp.path() / "lib").string()});
  EXPECT_EQ(result.output,
            "Dumping contents of X.itc2:\n\tdumping items...\n"
            "\t\t[ 1] wrote PNG image to file '" + name + "'(3)\n");
  EXPECT_EQ(ReadWholeFile(target), "keep");
  EXPECT_TRUE(fs::is_symlink(out / ("." + name + ".1.part")));
  EXPECT_TRUE(fs::is_directory(out / ("." + name + ".2.part")));
  EXPECT_EQ(FilesIn(out), (std::map<std::string, std::string>{
                              {name, "new"}, {"." + name + ".0.part", "old"}}));
}

TEST(LargeCacheFiles, FilesMappedEagerlyOrLazilyExportEveryByte) {
  // Cache files up to 16 MiB have all their pages mapped when opened, larger
  // ones page by page as they are read: one of each, with an image on either
  // side of the 16 MiB mark in the large one.
  TempFolder temp;
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  const auto image = [](std::uint64_t key, std::size_t size) {
    tools::ItemSpec item;
    item.ImageKey = tools::KeyFromU64(key);
    item.Width = 1;
    item.Height = 1;
    item.Payload.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
      item.Payload[i] = static_cast<std::uint8_t>(i * 7 + i / 4099 + key);
    }
    return item;
  };
  const std::size_t mib = std::size_t{1} << 20;
  const std::vector<tools::ItemSpec> small = {image(1, 16 * mib - 4096)};
  const std::vector<tools::ItemSpec> large = {image(2, 10 * mib), image(3, 7 * mib + 5)};
  WriteWholeFile(temp.path() / "lib" / "S" / "small.itc2", tools::BuildCacheFile(small));
  WriteWholeFile(temp.path() / "lib" / "T" / "large.itc2", tools::BuildCacheFile(large));

  const RunResult result = RunArtpeel(out, {(temp.path() / "lib").string()});
  const std::string small_report =
      "Dumping contents of small.itc2:\n\tdumping items...\n"
      "\t\t[ 1] wrote PNG image to file '0000000000000001-01-1x1.png'(16773120)\n";
  const std::string large_report =
      "Dumping contents of large.itc2:\n\tdumping items...\n"
      "\t\t[ 1] wrote PNG image to file '0000000000000002-01-1x1.png'(10485760)\n"
      "\t\t[ 2] wrote PNG image to file '0000000000000003-02-1x1.png'(7340037)\n";
  EXPECT_TRUE(result.output == small_report + large_report ||
              result.output == large_report + small_report)
      << result.output;
  const std::map<std::string, std::string> files = FilesIn(out);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_TRUE(files.at("0000000000000001-01-1x1.png") == AsString(small[0].Payload));
  EXPECT_TRUE(files.at("0000000000000002-01-1x1.png") == AsString(large[0].Payload));
  EXPECT_TRUE(files.at("0000000000000003-02-1x1.png") == AsString(large[1].Payload));
}

}  // namespace
}  // namespace artpeel::testing
