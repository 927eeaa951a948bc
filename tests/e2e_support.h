// Support for the end-to-end tests: a fresh temporary folder per test, running
// the built artpeel binary in it, and reading back what it wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace artpeel::testing {

struct RunResult {
  int exit_status = -1;
  std::string output;  // standard output, byte for byte
  std::string errors;  // standard error, byte for byte
};

// The program under test: by default the artpeel binary of this build. The
// environment can point the tests at another build of it instead:
//   ARTPEEL_TEST_BINARY    the program to run (for example artpeel.exe)
//   ARTPEEL_TEST_RUNNER    a command that runs it (for example Wine)
//   ARTPEEL_TEST_PLATFORM  "windows" when it behaves as on Windows
//   ARTPEEL_TEST_HOLD_OPEN the hold_open helper of that build (Windows only)
//   ARTPEEL_TEST_NEW_CONSOLE the new_console helper of that build, with its copy
//                          explorer.exe beside it (Windows only)
//   ARTPEEL_TEST_LAUNCHER  shell words put before the command, such as valgrind
//                          and its options (see the valgrind test preset)
//   ARTPEEL_TEST_WRITE_EXPECTED  when set, the corpus test writes the expected
//                          report from its run instead of only comparing
bool TestingWindows();

// `path` as the program under test names it: unchanged on Linux; under Wine the
// Z: drive's form, which reaches the same file, with backslashes.
std::string NativePath(const fs::path& path);

// How the program under test names itself in its usage text.
std::string ProgramName();

// Keeps a file open without sharing from another process (the hold_open helper
// under the runner) for as long as the object lives. Windows only.
class HeldOpen {
 public:
  explicit HeldOpen(const fs::path& file);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  bool held() const { return held_; }

 private:
  fs::path signal_;
  bool held_ = false;
};

// The exit status the sanitizers and valgrind are told to end artpeel with when
// they find a fault (see the sanitize and valgrind test presets); RunArtpeel
// fails the test on it.
inline constexpr int kMemoryCheckerExitStatus = 86;

// Runs artpeel with `arguments` in `working_folder`. `shell_prefix` is put before
// the command in the shell that runs it (for a umask or a file size limit).
RunResult RunArtpeel(const fs::path& working_folder, const std::vector<std::string>& arguments,
                     const std::string& shell_prefix = "");

// Runs artpeel as RunArtpeel does, but with standard error on a pseudo-terminal
// of its own; `errors` holds what the terminal received, each line break as the
// terminal gives it ("\r\n"). POSIX only.
RunResult RunArtpeelOnTerminal(const fs::path& working_folder,
                               const std::vector<std::string>& arguments,
                               const std::string& shell_prefix = "");

// Runs artpeel as RunArtpeel does, but on a new console of its own with a
// hidden window, started by the new_console helper named `parent`
// ("explorer.exe" or "new_console.exe"); `output` holds the console's text and
// `exit_status` the helper's: 0 when artpeel waited for a key, 1 when it did
// not. Windows only.
RunResult RunArtpeelOnNewConsole(const std::string& parent, const fs::path& working_folder,
                                 const std::vector<std::string>& arguments);

// Whether RunArtpeelOnTerminal can have a pseudo-terminal here; when not,
// `reason` says why, for the test to skip with.
bool PseudoTerminalAvailable(std::string& reason);

// Runs artpeel as RunArtpeel does, but as an ordinary user: when the tests run
// as root, who reads every file whatever its permissions, the run drops to uid
// and gid 65534. That user may not reach the build folder (a clone under /root
// is mode 700), so it runs a copy of the program put in `temp`, which is opened
// to everyone with all it holds.
RunResult RunArtpeelUnprivileged(const TempFolder& temp, const fs::path& working_folder,
                                 const std::vector<std::string>& arguments,
                                 const std::string& shell_prefix = "");

bool RunningAsRoot();

// A run of artpeel in progress, its report read line by line through a pipe,
// for tests that act while it runs. POSIX only: the test sends it signals.
struct RunningArtpeel {
  FILE* report = nullptr;
  int pid = 0;  // artpeel's own process id
};

// Starts artpeel as RunArtpeel does, its standard error discarded. A
// `shell_prefix` may set limits or signal dispositions for the run.
RunningArtpeel StartArtpeel(const fs::path& working_folder,
                            const std::vector<std::string>& arguments,
                            const std::string& shell_prefix = "");

// The next line of the report, without its line break; false at its end.
bool ReadReportLine(RunningArtpeel& run, std::string& line);

// The process the run walks in: the child artpeel starts it in (Linux: found in
// /proc), or artpeel itself where there is none.
int WalkingProcess(const RunningArtpeel& run);

// The state of a process (or a thread, /proc/PID/task/TID) as /proc shows it:
// 'T' stopped, 'Z' ended; 0 once it is gone. Linux only.
char ProcessState(const fs::path& process);
char ProcessState(int pid);

// Stops the run with SIGSTOP: artpeel and the process it walks in; returns once
// every thread of both has stopped (Linux: it reads /proc). SIGCONT to artpeel
// lets both go on.
void StopRun(const RunningArtpeel& run);

// Reads the rest of the report into `rest` (when given) and waits for the run
// to end; returns its wait status.
int FinishArtpeel(RunningArtpeel& run, std::string* rest = nullptr);

// The shell words that put `fault` (see tests/fault_injection.cpp) into the
// run they come before. FaultsCanBeInjected says where they take: into this
// build's own program on POSIX, not into another (a static one, one for
// another CPU).
std::string WithFault(const std::string& fault);
bool FaultsCanBeInjected();

// Runs a shell command; returns its exit status.
int RunShell(const std::string& command);

std::string QuoteForShell(const std::string& text);

// The report cut into one block per cache file (from each "Dumping contents
// of" line to the next), in the order printed.
std::vector<std::string> FileBlocks(const std::string& report);

// `lines`, sorted: for output whose order is the file system's listing order.
std::vector<std::string> Sorted(std::vector<std::string> lines);
std::vector<std::string> Lines(const std::string& text);

// The report of a cache file that holds the given item lines.
std::string ReportOf(const std::string& cache_file, const std::string& item_lines = "");
// The line of a PNG image written whole.
std::string WroteLine(int index, const std::string& image, std::size_t size);

// A library folder to name on the command line and an empty folder to run
// artpeel in, side by side in a fresh temporary folder.
class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest();

  // Writes a cache file at `relative` below the library folder.
  fs::path AddFile(const fs::path& relative, const std::vector<std::uint8_t>& bytes);

  // Runs artpeel on the library folder, in the output folder.
  RunResult Run(const std::string& shell_prefix = "");

  TempFolder temp_;
  fs::path library_ = temp_.path() / "lib";
  fs::path out_ = temp_.path() / "out";
};

}  // namespace artpeel::testing
