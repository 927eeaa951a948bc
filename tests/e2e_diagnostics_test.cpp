// End-to-end tests of what artpeel says on standard error: one line for each
// thing the walk could not do, while standard output and the exit status stay
// those of a silent walk, and nothing at all after an ordinary run; on a
// terminal, when the report goes elsewhere, its progress and a summary.
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
  bool puts_in_a_fault = false;  // runs where FaultsCanBeInjected
};

const Case kCases[] = {
    {"an ordinary walk, an empty folder on the way, says nothing", false,
     [](const fs::path& temp) {
       WriteWholeFile(temp / "lib" / "S" / "a.itc2", BuildCacheFile({}));
       fs::create_directories(temp / "lib" / "Empty");
       return Expected{{NativePath(temp / "lib")}, "", ReportOf("a.itc2"), ""};
     }},
    {"a run held from ending once it has written everything ends as it would", false,
     [](const fs::path& temp) {
       WriteWholeFile(temp / "lib" / "S" / "a.itc2", BuildCacheFile({}));
       return Expected{{NativePath(temp / "lib")}, "timeout 20 env " + WithFault("hang:at-end"),
                       ReportOf("a.itc2"), ""};
     },
     true},
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
    {"\"\" names the current folder", false,
     [](const fs::path& temp) {
       WriteWholeFile(temp / "out" / "S" / "here.itc2", BuildCacheFile({}));
       return Expected{{""}, "", ReportOf("here.itc2"), ""};
     }},
    {"a relative folder named from the root: one separator after it", false,
     [](const fs::path& temp) {
       const fs::path folder = temp / "lib" / "S" / "d.itc2";
       fs::create_directories(folder);
       const std::string relative = NativePath(temp / "lib").substr(TestingWindows() ? 3 : 1);
       const std::string code = TestingWindows() ? "0x00000005" : "0x00000015";
       return Expected{{relative}, "cd / &&",
                       "Unable to open '" + NativePath(folder) + "' Error code: " + code + "\n",
                       ""};
     }},
    {"named folders called like Windows's devices, relative and absolute", false,
     [](const fs::path& temp) {
       const fs::path lib = temp / "lib";
       std::string report;
       for (const std::string name : {"CON", "nul", "COM1", "AUX"}) {
         WriteWholeFile(lib / name / "S" / (name + ".itc2"), BuildCacheFile({}));
         report += ReportOf(name + ".itc2");
       }
       return Expected{{"CON", "nul", NativePath(lib / "COM1"), NativePath(lib / "AUX")},
                       "cd ../lib &&", report, ""};
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
    {"a folder whose reading fails part way: what was read is walked", false,
     [](const fs::path& temp) {
       const fs::path lib = temp / "lib";
       WriteWholeFile(lib / "S" / "a.itc2", BuildCacheFile({}));
       WriteWholeFile(lib / "S" / "T" / "b.itc2", BuildCacheFile({}));
       return Expected{{NativePath(lib)},
                       WithFault("listing:S"),
                       ReportOf("a.itc2") + ReportOf("b.itc2"),
                       "artpeel: cannot read folder '" + NativePath(lib / "S") +
                           "': Input/output error\n"};
     },
     true},
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
    if (test_case.puts_in_a_fault && !FaultsCanBeInjected()) continue;
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

// The summary of a run on the library of WriteSummaryLibrary.
constexpr char kSummaryStart[] = "artpeel: 2 cache files read, 3 images written (2.4 KiB) in ";
constexpr char kSummaryEnd[] = " s; 1 image not written, 1 cache file not read";

// A library below `temp` whose run reads two cache files, writes three images
// and not a fourth (see SummaryOutput), and cannot read an empty cache file.
fs::path WriteSummaryLibrary(const fs::path& temp) {
  const fs::path lib = temp / "lib";
  WriteWholeFile(lib / "S" / "a.itc2",
                 BuildCacheFile({tools::PngItem(std::string(1000, 'a'), 1),
                                 tools::PngItem(std::string(1500, 'b'), 2)}));
  WriteWholeFile(lib / "S" / "b.itc2", BuildCacheFile({tools::PngItem("c", 3),
                                                       tools::PngItem("taken", 4)}));
  WriteWholeFile(lib / "S" / "empty.itc2", {});
  return lib;
}

// A folder of its own for one run to write to, where a folder holds the name
// of the fourth image.
fs::path SummaryOutput(const fs::path& temp, const char* name) {
  const fs::path out = temp / name;
  fs::create_directories(out / "0000000000000004-02-600x600.png");
  return out;
}

TEST(Diagnostics, SummaryOnTheTerminalOnlyWhenTheReportGoesElsewhere) {
  if (TestingWindows()) GTEST_SKIP() << "a console is tried by hand";
  if (std::string reason; !PseudoTerminalAvailable(reason)) GTEST_SKIP() << reason;
  TempFolder temp;
  const fs::path lib = WriteSummaryLibrary(temp.path());
  const auto run = [&](const char* name, const std::string& prefix, bool on_terminal) {
    const fs::path out = SummaryOutput(temp.path(), name);
    return on_terminal ? RunArtpeelOnTerminal(out, {NativePath(lib)}, prefix)
                       : RunArtpeel(out, {NativePath(lib)}, prefix);
  };
  const RunResult plain = run("plain", "", false);
  const RunResult shown = run("shown", "", true);
  // Standard error to a pipe, and the report on the terminal too: nothing new.
  const RunResult piped =
      run("piped", R"(sh -c 'exec 3>&1; "$0" "$@" 2>&1 >&3 3>&- | cat >&2')", false);
  const RunResult report_on_terminal = run("both", R"(sh -c 'exec "$0" "$@" >&2')", true);
  EXPECT_EQ(plain.errors, "");
  EXPECT_EQ(shown.exit_status, 1);
  EXPECT_EQ(shown.output, plain.output);
  // The summary ends the terminal's text; before it, a slow run (under valgrind)
  // shows progress lines, each after a carriage return.
  const std::string& terminal = shown.errors;
  const std::size_t summary = terminal.rfind("\rartpeel: ");
  ASSERT_NE(summary, std::string::npos) << terminal;
  EXPECT_TRUE(terminal.substr(summary).starts_with("\r" + std::string(kSummaryStart)))
      << terminal;
  EXPECT_TRUE(terminal.ends_with(kSummaryEnd + std::string("\r\n"))) << terminal;
  for (std::size_t line = 0; line < summary; line = terminal.find('\r', line + 1)) {
    EXPECT_EQ(terminal.compare(line, 10, "\rartpeel: "), 0) << terminal;
  }
  EXPECT_EQ(terminal.find('\n'), terminal.size() - 1) << terminal;
  EXPECT_EQ(piped.output, plain.output);
  EXPECT_EQ(piped.errors, "");
  std::string report_as_shown;
  for (const char c : plain.output) report_as_shown += c == '\n' ? "\r\n" : std::string(1, c);
  EXPECT_EQ(report_on_terminal.errors, report_as_shown);
}

// A double-click on Windows 11: Windows Terminal hosts the console Explorer
// made, whose window is never visible.
TEST(Diagnostics, StartedByTheShellOnAHiddenConsoleItShowsTheSummaryAndWaitsForAKey) {
  if (!TestingWindows()) GTEST_SKIP() << "Windows consoles only";
  TempFolder temp;
  const fs::path lib = WriteSummaryLibrary(temp.path());
  const fs::path out = SummaryOutput(temp.path(), "shell");
  const RunResult shell = RunArtpeelOnNewConsole("explorer.exe", out, {NativePath(lib)});
  EXPECT_EQ(shell.exit_status, 0) << "started by explorer.exe, artpeel did not wait for a key "
                                     "(under Wine a new console needs the null display driver, "
                                     "as tests/run_windows_tests.sh sets it)\n"
                                  << shell.output;
  const std::vector<std::string> lines = Lines(shell.output);
  ASSERT_GE(lines.size(), 2u) << shell.output;
  const std::string& summary = lines[lines.size() - 2];
  EXPECT_TRUE(summary.starts_with(kSummaryStart) && summary.ends_with(kSummaryEnd)) << summary;
  EXPECT_EQ(lines.back(), "artpeel: the images go to the current folder, " + NativePath(out) +
                              "; press a key to close this window");
  EXPECT_EQ(FilesIn(out).size(), 3u);
  // Started the same way by a program of another name, it does not wait.
  const RunResult other = RunArtpeelOnNewConsole(
      "new_console.exe", SummaryOutput(temp.path(), "other"), {NativePath(lib)});
  EXPECT_EQ(other.exit_status, 1) << other.output;
}

}  // namespace
}  // namespace artpeel::testing
