// End-to-end test of interrupted runs: the built artpeel binary, exporting a
// library of a few thousand images, is ended by a signal after a varying part
// of its report, into an empty folder and over the images of an earlier run.
// Whenever it ends, no temporary file is left, every file under an image's
// name holds a whole image, and the report, in a pipe or a file, ends with a
// whole line and names the images on disk. tests/interrupt_loop.sh runs many
// more such kills.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support.h"
#include "tools/itc2_writer.h"

namespace artpeel::testing {
namespace {

constexpr int kCacheFiles = 700;
constexpr int kImagesPerFile = 3;

// Writes the library: cache files in ten folders, each holding three images of
// a few KiB whose bytes tell them apart. Returns each image's name and bytes.
std::map<std::string, std::string> WriteLibrary(const fs::path& library) {
  std::map<std::string, std::string> images;
  for (int file = 0; file < kCacheFiles; ++file) {
    std::vector<tools::ItemSpec> items;
    for (int image = 0; image < kImagesPerFile; ++image) {
      const std::uint64_t id = static_cast<std::uint64_t>(file * kImagesPerFile + image);
      std::string payload(1000 + (id * 7919) % 6000, static_cast<char>('a' + id % 26));
      const std::string label = std::to_string(id);
      payload.replace(0, label.size(), label);
      char name[64];
      std::snprintf(name, sizeof name, "%016" PRIX64 "-%02d-1x1.png", id, image + 1);
      images[name] = payload;
      items.push_back(tools::PngItem(payload, id, 1, 1));
    }
    const fs::path folder = library / ("F" + std::to_string(file % 10));
    WriteWholeFile(folder / ("c" + std::to_string(file) + ".itc2"), tools::BuildCacheFile(items));
  }
  return images;
}

bool HoldsExactly(const fs::path& file, const std::string& bytes) {
  if (fs::file_size(file) != bytes.size()) return false;
  std::string held(bytes.size(), '\0');
  std::ifstream in(file, std::ios::binary);
  in.read(held.data(), static_cast<std::streamsize>(held.size()));
  return held == bytes;
}

// The images a report names as written, each once.
std::set<std::string> NamedImages(const std::string& report) {
  std::set<std::string> named;
  for (const std::string& line : Lines(report)) {
    const std::size_t at = line.find("] wrote PNG image to file '");
    if (at == std::string::npos || !line.ends_with(")")) continue;
    EXPECT_TRUE(named.insert(line.substr(at + 27, line.rfind('\'') - at - 27)).second) << line;
  }
  return named;
}

struct Interruption {
  int signal_number;
  int report_lines;  // read before the signal is sent
  bool over_earlier_images;
  bool signal_ignored = false;  // the run is started with the signal ignored
  bool report_to_file = false;  // then paced by its size, some 50 bytes a line
  std::string fault = "";       // put into the run (WithFault)
};

// Runs artpeel on `library` in `out`, reads `report_lines` lines of its report
// (into `report`, then the rest), sends it the signal, returns its wait status.
int RunAndInterrupt(const fs::path& out, const fs::path& library, const Interruption& run,
                    std::string& report) {
  const fs::path report_file = out.string() + ".report";
  std::string prefix =
      run.signal_ignored ? "trap '' " + std::to_string(run.signal_number) + ";" : "";
  if (run.report_to_file) prefix += "exec >" + QuoteForShell(report_file.string()) + ";";
  if (!run.fault.empty()) prefix += WithFault(run.fault);
  RunningArtpeel artpeel = StartArtpeel(out, {NativePath(library)}, prefix);
  std::string line;
  for (int read = 0; read < run.report_lines && ReadReportLine(artpeel, line); ++read) {
    report += line + "\n";
  }
  const auto paced = 50u * static_cast<std::uintmax_t>(run.report_lines);
  for (std::error_code no_file; run.report_to_file && kill(artpeel.pid, 0) == 0 &&
                                fs::file_size(report_file, no_file) < paced;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // SIGPIPE comes as the report's reader goes away.
  if (run.signal_number == SIGPIPE && artpeel.report != nullptr) return pclose(artpeel.report);
  if (artpeel.pid > 0) kill(artpeel.pid, run.signal_number);
  const int status = FinishArtpeel(artpeel, &report);
  if (run.report_to_file) report = ReadWholeFile(report_file);
  return status;
}

TEST(InterruptedRun, LeavesNoTemporaryFileAndOnlyWholeImages) {
  TempFolder temp;
  const fs::path library = temp.path() / "lib";
  const std::map<std::string, std::string> images = WriteLibrary(library);
  const int report_lines = kCacheFiles * (2 + kImagesPerFile);
  // The first run, started with SIGHUP ignored as nohup does, is not ended by
  // it and exports the whole library; the runs marked "over earlier images"
  // then replace its images, in its folder.
  const fs::path earlier_run = temp.path() / "earlier";
  // The runs inherit this process's dispositions: under nohup SIGHUP would be
  // ignored in every one of them, in a shell's background job SIGINT, and no
  // shell can give them their default back.
  signal(SIGHUP, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  std::vector<Interruption> runs = {{SIGHUP, report_lines / 2, true, true}};
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    runs.push_back({signal_number, 0, false});
    runs.push_back({signal_number, 1, true});
    runs.push_back({signal_number, report_lines / 8, false, false, signal_number != SIGINT});
    runs.push_back({signal_number, report_lines / 5, true});
  }
  if (FaultsCanBeInjected()) {
    // No thread can start: the signals are taken by a handler.
    runs.push_back({SIGINT, report_lines / 6, false, false, false, "thread:fail"});
    runs.push_back({SIGTERM, report_lines / 4, false, false, true, "thread:fail"});
  }
  runs.push_back({SIGPIPE, report_lines / 8, false});
  runs.push_back({SIGPIPE, report_lines / 2, false, true});  // the run writes every image
  if (TestingWindows()) {
    // Wine turns SIGINT into Ctrl+C, which the run must survive cleanly;
    // SIGTERM and SIGHUP kill it outright, as TerminateProcess would, which
    // leaves a temporary file in the instant before its rename. A run under
    // Wine takes seconds: three of them.
    runs = {{SIGINT, 1, false},
            {SIGINT, report_lines / 8, true},
            {SIGINT, report_lines / 3, false}};
    for (const auto& [name, bytes] : images) {
      WriteWholeFile(earlier_run / name, {bytes.begin(), bytes.end()});
    }
  }

  int run_number = 0;
  for (const Interruption& run : runs) {
    SCOPED_TRACE("signal " + std::to_string(run.signal_number) + " after " +
                 std::to_string(run.report_lines) + " lines" +
                 (run.over_earlier_images ? ", over earlier images" : "") +
                 (run.signal_ignored ? ", ignored" : "") +
                 (run.report_to_file ? ", report to a file" : "") + " " + run.fault);
    const fs::path out = run.over_earlier_images
                             ? earlier_run
                             : temp.path() / ("out" + std::to_string(run_number++));
    fs::create_directories(out);
    std::string report;
    const int status = RunAndInterrupt(out, library, run, report);
    if (run.signal_ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    } else if (!TestingWindows()) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == run.signal_number) << status;
    }
    // Under Wine, a run ended in its console control handler has its files
    // closed, its temporary file deleted, a moment after it is seen to end.
    if (TestingWindows()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::size_t whole_images = 0;
    std::set<std::string> on_disk;
    for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
      const std::string name = entry.path().filename().string();
      on_disk.insert(name);
      const auto image = images.find(name);
      if (image == images.end()) {
        ADD_FAILURE() << "left behind: " << name;
      } else if (HoldsExactly(entry.path(), image->second)) {
        ++whole_images;
      } else {
        ADD_FAILURE() << name << " does not hold its whole image";
      }
    }
    // Each image reported written is there; into an empty folder, the report
    // names exactly the images on disk, also those written as the run ended.
    // Only a run whose reader is gone cannot tell.
    const std::set<std::string> named = NamedImages(report);
    EXPECT_TRUE(std::includes(on_disk.begin(), on_disk.end(), named.begin(), named.end()));
    if (!run.over_earlier_images && run.signal_number != SIGPIPE) {
      EXPECT_TRUE(report.empty() || report.back() == '\n') << "ends mid-line";
      EXPECT_EQ(named, on_disk);
    }
    if (run.signal_ignored) {
      EXPECT_EQ(whole_images, images.size());
    } else if (!run.over_earlier_images) {
      EXPECT_LT(whole_images, images.size()) << "the run was not cut short";
    }
  }
}

TEST(InterruptedRun, EndsByItsFirstEndingSignalAndCleansUpWhenItsSupervisorDies) {
  if (TestingWindows() || !FaultsCanBeInjected()) GTEST_SKIP() << "POSIX, faults put in";
  TempFolder temp;
  WriteLibrary(temp.path() / "lib");
  // 1. The supervisor, stopped, holds SIGTERM while the walk meets a reader
  // gone and dies of SIGPIPE: the run ends by SIGTERM.
  fs::create_directories(temp.path() / "term");
  RunningArtpeel run = StartArtpeel(temp.path() / "term", {(temp.path() / "lib").string()});
  std::string line;
  ReadReportLine(run, line);
  StopRun(run);
  const int walk = WalkingProcess(run);
  kill(run.pid, SIGTERM);
  const int no_reader = open("/dev/null", O_RDONLY | O_CLOEXEC);
  dup2(no_reader, fileno(run.report));
  close(no_reader);
  kill(walk, SIGCONT);
  while (ProcessState(walk) != 'Z') std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(run.pid, SIGCONT);
  const int status = pclose(run.report);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

  // 2. Where no unnamed file can be made, the supervisor is killed while the
  // walk holds a temporary name: the walk removes it and reports to its end.
  const fs::path out = temp.path() / "killed";
  fs::create_directories(out);
  run = StartArtpeel(out, {(temp.path() / "lib").string()}, WithFault("tmpfile:fail"));
  std::string report;
  for (int tries = 0; tries < 1000; ++tries) {
    for (int read = 0; read < 5 && ReadReportLine(run, line); ++read) report += line + "\n";
    StopRun(run);
    bool part_left = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
      part_left = part_left || entry.path().filename().string().ends_with(".part");
    }
    if (part_left) break;
    kill(run.pid, SIGCONT);
  }
  const int orphan = WalkingProcess(run);
  kill(run.pid, SIGKILL);
  kill(orphan, SIGCONT);
  FinishArtpeel(run, &report);  // the walk's end closes the pipe
  std::set<std::string> on_disk;
  for (const auto& [name, bytes] : FilesIn(out)) on_disk.insert(name);
  EXPECT_EQ(NamedImages(report), on_disk);
}

TEST(InterruptedRun, StartedWithSigtstpBlockedOrNoForkNoOtherProcessStopsOrHearsOfIt) {
  if (TestingWindows() || !FaultsCanBeInjected()) GTEST_SKIP() << "POSIX, faults put in";
  TempFolder temp;
  const std::string library = (temp.path() / "lib").string();
  WriteLibrary(library);
  // SIGTSTP blocked from the start: neither process stops on it.
  RunningArtpeel run = StartArtpeel(temp.path(), {library}, WithFault("blocked:TSTP"));
  std::string line;
  ReadReportLine(run, line);
  kill(run.pid, SIGTSTP);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_NE(ProcessState(run.pid), 'T') << "the supervisor stopped alone";
  kill(run.pid, SIGCONT);
  kill(run.pid, SIGTERM);
  EXPECT_EQ(WTERMSIG(FinishArtpeel(run)), SIGTERM);
  // No supervisor can be made: the process that started the run hears of its
  // end only as its parent.
  sigset_t child_ended, before;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &child_ended, &before);
  const timespec now = {0, 0};
  while (sigtimedwait(&child_ended, nullptr, &now) > 0) {
  }
  run = StartArtpeel(temp.path(), {library}, WithFault("fork:fail"));
  const int pid = run.pid;
  EXPECT_EQ(WEXITSTATUS(FinishArtpeel(run)), 1);
  siginfo_t heard;
  while (sigtimedwait(&child_ended, &heard, &now) > 0) {
    EXPECT_FALSE(heard.si_pid == pid && heard.si_code == SI_USER) << "SIGCHLD sent to its parent";
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TEST(InterruptedRun, BackgroundJobEndsOnItsSignalWithoutWritingToTheTerminal) {
  if (TestingWindows()) GTEST_SKIP() << "POSIX job control";
  // artpeel runs as a job of a session whose terminal has `stty tostop`: in the
  // foreground until its progress line shows (its report, read slowly from a
  // pipe, holds it back), then in the background, where SIGTERM must end it.
  // Ending the line there would stop it on SIGTTOU instead.
  TempFolder temp;
  WriteLibrary(temp.path() / "lib");
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
    GTEST_SKIP() << "no pseudo-terminal can be had here";
  }
  int report[2], control[2], news[2];
  ASSERT_EQ(pipe(report) | pipe(control) | pipe(news), 0);
  const std::string program = ProgramName();
  const std::string library = (temp.path() / "lib").string();
  const pid_t leader = fork();
  if (leader == 0) {
    setsid();
    const int tty = open(ptsname(terminal), O_RDWR);  // the session's terminal
    termios modes;
    tcgetattr(tty, &modes);
    modes.c_lflag |= TOSTOP;
    tcsetattr(tty, TCSANOW, &modes);
    signal(SIGTTOU, SIG_IGN);  // so that the leader may hand the terminal on
    const pid_t run = fork();
    if (run == 0) {
      setpgid(0, 0);
      signal(SIGTTOU, SIG_DFL);
      dup2(report[1], STDOUT_FILENO);
      dup2(tty, STDERR_FILENO);
      if (chdir(temp.path().c_str()) == 0) {
        execl(program.c_str(), program.c_str(), library.c_str(), static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    setpgid(run, run);
    tcsetpgrp(tty, run);
    char go = 0;
    if (write(news[1], &run, sizeof run) < 0 || read(control[0], &go, 1) != 1) _exit(1);
    tcsetpgrp(tty, getpgrp());
    int status = 0;
    if (write(news[1], &go, 1) < 0 || waitpid(run, &status, WUNTRACED) != run) _exit(1);
    _exit(write(news[1], &status, sizeof status) == sizeof status ? 0 : 1);
  }
  close(report[1]);
  pid_t run = 0;
  ASSERT_EQ(read(news[0], &run, sizeof run), static_cast<ssize_t>(sizeof run));
  std::string shown;
  char buffer[4096];
  for (pollfd shows = {terminal, POLLIN, 0}; shown.find("artpeel: ") == std::string::npos;) {
    ASSERT_GT(read(report[0], buffer, 512), 0) << "the run ended before its progress line";
    if (poll(&shows, 1, 20) == 1) {
      const ssize_t got = read(terminal, buffer, sizeof buffer);
      if (got > 0) shown.append(buffer, static_cast<std::size_t>(got));
    }
  }
  char go = 'b';
  ASSERT_EQ(write(control[1], &go, 1), 1);
  ASSERT_EQ(read(news[0], &go, 1), 1);  // artpeel is in the background now
  kill(run, SIGTERM);
  int status = 0;
  ASSERT_EQ(read(news[0], &status, sizeof status), static_cast<ssize_t>(sizeof status));
  if (WIFSTOPPED(status)) kill(run, SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  waitpid(leader, nullptr, 0);
  for (const int fd : {terminal, report[0], control[0], control[1], news[0], news[1]}) close(fd);
}

}  // namespace
}  // namespace artpeel::testing
