// End-to-end tests of what artpeel says on standard error: one line for each
// thing the walk could not do, while standard output and the exit status stay
// those of a silent walk, and nothing at all after an ordinary run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

using tools::BuildCacheFile;
using tools::ItemSpec;
using tools::KeyFromU64;

// The system's words for a failure, as Linux and as Wine's Windows put them.
std::string Reason(const char* linux_text, const char* windows_text) {
  return TestingWindows() ? windows_text : linux_text;
}

// How one case runs artpeel, and what it must print and write.
struct Expected {
  std::vector<std::string> arguments;
  std::string shell_prefix;
  std::string output;
  std::string errors;
  std::size_t images = 0;
};

struct Case {
  const char* name;
  bool drops_privileges;  // runs as nobody when run as root
  // Lays the case's files out below `temp` (the library is temp/lib).
  Expected (*arrange)(const fs::path& temp);
};

const Case kCases[] = {
    {"an ordinary walk, an empty folder on the way, says nothing", false,
     [](const fs::path& temp) {
       WriteWholeFile(temp / "lib" / "S" / "a.itc2", BuildCacheFile({}));
       fs::create_directories(temp / "lib" / "Empty");
       return Expected{{NativePath(temp / "lib")}, "", ReportOf("a.itc2"), ""};
     }},
    {"a named folder that is missing", false,
     [](const fs::path& temp) {
       const std::string missing = NativePath(temp / "missing");
       return Expected{{missing},
                       "",
                       "",
                       "artpeel: cannot read folder '" + missing +
                           "': " + Reason("No such file or directory", "Path not found") + "\n"};
     }},
    {"named folders holding cache files directly, one line each", false,
     [](const fs::path& temp) {
       const fs::path lib = temp / "lib";
       for (const char* name : {"a.itc2", "b.ITC2", "sub.itc2/c.itc2", "sub.itc2/T/d.itc2"}) {
         WriteWholeFile(lib / name, BuildCacheFile({}));
       }
       WriteWholeFile(lib / "not-a-cache.itc", {'x'});
       const std::string tail = "': only the folders below a named folder are read\n";
       // The folder sub.itc2 is walked, not counted; named itself, its own file is.
       return Expected{
           {NativePath(lib), NativePath(lib / "sub.itc2")},
           "",
           ReportOf("c.itc2") + ReportOf("d.itc2") + ReportOf("d.itc2"),
           "artpeel: skipped 2 cache files directly in '" + NativePath(lib) + tail +
               "artpeel: skipped 1 cache file directly in '" + NativePath(lib / "sub.itc2") + tail};
     }},
    {"a folder below that cannot be read", true,
     [](const fs::path& temp) {
       const fs::path lib = temp / "lib";
       WriteWholeFile(lib / "S" / "locked" / "x.itc2", BuildCacheFile({}));
       WriteWholeFile(lib / "T" / "t.itc2", BuildCacheFile({}));
       // root reads every folder: the case runs as nobody then (see below).
       return Expected{{NativePath(lib)},
                       "chmod 000 " + QuoteForShell((lib / "S" / "locked").string()) + " &&",
                       ReportOf("t.itc2"),
                       "artpeel: cannot read folder '" + NativePath(lib / "S" / "locked") +
                           "': " + Reason("Permission denied", "Access denied") + "\n"};
     }},
    {"a folder whose paths would pass the path limit", false,
     [](const fs::path& temp) {
       const std::size_t limit = TestingWindows() ? 260 : 4096;
       const std::string name(TestingWindows() ? 20 : 200, 'd');
       // The chain ends with the first folder whose "*.itc2" pattern would not
       // fit; the shell makes it, as its absolute path is too long for Linux.
       fs::path deep = temp / "lib";
       std::string mkdir = "mkdir -p " + QuoteForShell(deep.string()) + " && cd " + QuoteForShell(deep.string());
       do {
         deep /= name;
         mkdir += " && mkdir " + name + " && cd -P " + name;
       } while (NativePath(deep / "*.itc2").size() < limit);
       EXPECT_EQ(RunShell(mkdir), 0);
       return Expected{{NativePath(temp / "lib")},
                       "",
                       "",
                       "artpeel: skipped folder '" + NativePath(deep) +
                           "': the paths in it would exceed the system's limit of " +
                           std::to_string(limit) + " characters\n"};
     }},
    {"a report that cannot be written, longer than one buffer of it", false,
     [](const fs::path& temp) {
       std::vector<ItemSpec> items(150);
       for (std::size_t i = 0; i < items.size(); ++i) {
         items[i].ImageKey = KeyFromU64(i);
         items[i].Payload = {'p', static_cast<std::uint8_t>(i)};
       }
       WriteWholeFile(temp / "lib" / "S" / "many.itc2", BuildCacheFile(items));
       return Expected{{NativePath(temp / "lib")},
                       "sh -c 'exec \"$0\" \"$@\" >/dev/full'",
                       "",
                       "artpeel: cannot write the report to standard output: " +
                           Reason("No space left on device", "Disk full") + "\n",
                       items.size()};
     }},
};

TEST(Diagnostics, EachFailureOfTheWalkIsOneLineOnStandardError) {
  for (const Case& test_case : kCases) {
    SCOPED_TRACE(test_case.name);
    // Wine runs only as the user owning its prefix, and root reads every folder.
    if (test_case.drops_privileges && TestingWindows() && RunningAsRoot()) continue;
    TempFolder temp;
    const fs::path out = temp.path() / "out";
    fs::create_directories(out);
    const Expected expected = test_case.arrange(temp.path());
    const RunResult result =
        test_case.drops_privileges
            ? RunArtpeelUnprivileged(temp, out, expected.arguments, expected.shell_prefix)
            : RunArtpeel(out, expected.arguments, expected.shell_prefix);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, expected.output);
    EXPECT_EQ(result.errors, expected.errors);
    // The extraction goes on whatever standard error says.
    EXPECT_EQ(FilesIn(out).size(), expected.images);
  }
}

}  // namespace
}  // namespace artpeel::testing
