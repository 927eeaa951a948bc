// End-to-end test of the export's temporary files: names already taken in the
// current directory, by leftovers or by links, are passed over and never
// written through.
#include <gtest/gtest.h>

#include <map>
#include <string>

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

}  // namespace
}  // namespace artpeel::testing
