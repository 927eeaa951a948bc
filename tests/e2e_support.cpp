#include "tests/e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace artpeel::testing {

namespace {

std::string Environment(const char* name, const std::string& fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string ProgramBinary() { return Environment("ARTPEEL_TEST_BINARY", ARTPEEL_BINARY); }

// The shell words that start a program of the build under test.
std::string CommandFor(const std::string& program) {
  const std::string runner = Environment("ARTPEEL_TEST_RUNNER");
  return (runner.empty() ? "" : QuoteForShell(runner) + " ") + QuoteForShell(program);
}

// How long a test waits for a run of artpeel.exe under Wine, which has been
// seen to hang for good in its own exit; a run still going then is taken to
// hang, and is killed.
constexpr auto kWineRunDeadline = std::chrono::seconds(60);

// Whether `pid` shows Wine's own deadlock at exit: its main thread has ended
// (a zombie) while another of its threads lives on, which Wine left waiting
// for a lock in NtTerminateProcess.
bool WineDeadlocked(int pid) {
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code gone;
  if (ProcessState(tasks / std::to_string(pid)) != 'Z') return false;
  for (const auto& task : fs::directory_iterator(tasks, gone)) {
    const char state = ProcessState(task.path());
    if (state != 0 && state != 'Z') return true;
  }
  return false;
}

// `pid` and every live process below it, found by their parents in /proc.
std::vector<int> ProcessTree(int pid) {
  std::vector<int> tree{pid};
  std::map<int, std::vector<int>> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    std::string stat;
    std::getline(std::ifstream(entry.path() / "stat"), stat);
    const std::size_t at = stat.rfind(") ");  // the state, then the parent's id
    if (std::isdigit(name[0]) && at != std::string::npos) {
      children[std::atoi(stat.c_str() + at + 4)].push_back(std::stoi(name));
    }
  }
  for (std::size_t i = 0; i < tree.size(); ++i) {
    for (const int child : children[tree[i]]) tree.push_back(child);
  }
  return tree;
}

// Ends a run that is past its deadline: fails the test saying why, notes a run
// that met Wine's own deadlock for run_windows_tests.sh (in the file named by
// ARTPEEL_TEST_WINE_DEADLOCKS), which runs the test once more, and kills what
// is left of the run.
void EndHungRun(int pid) {
  const std::vector<int> tree = ProcessTree(pid);
  const bool wine_deadlock = std::any_of(tree.begin(), tree.end(), WineDeadlocked);
  ADD_FAILURE() << "artpeel still runs after " << kWineRunDeadline.count() << " s"
                << (wine_deadlock ? ": Wine's own deadlock at exit (its main thread ended, "
                                    "another thread left waiting in Wine)"
                                  : "");
  const std::string deadlocks = Environment("ARTPEEL_TEST_WINE_DEADLOCKS");
  if (wine_deadlock && !deadlocks.empty()) {
    const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
    std::ofstream(deadlocks, std::ios::app)
        << test.test_suite_name() << "." << test.name() << "\n";
  }
  for (const int process : tree) kill(process, SIGKILL);
}

// Waits up to `seconds` for `path` to appear.
bool AwaitFile(const fs::path& path, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

bool TestingWindows() { return Environment("ARTPEEL_TEST_PLATFORM") == "windows"; }

std::string NativePath(const fs::path& path) {
  std::string native = path.string();
  if (!TestingWindows()) return native;
  std::replace(native.begin(), native.end(), '/', '\\');
  return "Z:" + native;
}

std::string ProgramName() {
  return TestingWindows() ? NativePath(fs::absolute(ProgramBinary())) : ProgramBinary();
}

// The helper's signal files go two folders up, out of the way of the walk and of
// the folder artpeel writes to.
HeldOpen::HeldOpen(const fs::path& file)
    : signal_(file.parent_path().parent_path() / (file.filename().string() + ".signal")) {
  const std::string holder = Environment("ARTPEEL_TEST_HOLD_OPEN");
  if (holder.empty()) return;
  RunShell(CommandFor(holder) + " " + QuoteForShell(NativePath(file)) + " " +
           QuoteForShell(NativePath(signal_)) + " >/dev/null 2>&1 </dev/null &");
  held_ = AwaitFile(signal_.string() + ".held", 30);
}

HeldOpen::~HeldOpen() {
  if (!held_) return;
  WriteWholeFile(signal_.string() + ".release", {});
  AwaitFile(signal_.string() + ".done", 30);
  for (const char* ending : {".held", ".release", ".done"}) fs::remove(signal_.string() + ending);
}

std::string QuoteForShell(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool FaultsCanBeInjected() {
  return !TestingWindows() && Environment("ARTPEEL_TEST_BINARY").empty();
}

std::string WithFault(const std::string& fault) {
  // The sanitizers' runtime wants to be loaded first, which LD_PRELOAD prevents.
  return "ARTPEEL_FAULT=" + QuoteForShell(fault) + " LD_PRELOAD=" +
         QuoteForShell(ARTPEEL_FAULT_INJECTION) +
         " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\"";
}

int RunShell(const std::string& command) {
  const pid_t shell = fork();
  if (shell == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  // Under Wine a run may hang for good: it has a deadline.
  const auto deadline = std::chrono::steady_clock::now() + kWineRunDeadline;
  while (shell > 0 && waitpid(shell, &status, TestingWindows() ? WNOHANG : 0) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      EndHungRun(shell);
      waitpid(shell, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return shell > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// A new pseudo-terminal, which is no one's controlling terminal: its
// controlling side and its other side, both open; false, with the step that
// failed and the system's reason in `failure`, when none can be had.
bool OpenPseudoTerminal(int& terminal, int& run_side, std::string& failure) {
  const char* step = "posix_openpt";
  terminal = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal >= 0) {
    step = "grantpt";
    if (grantpt(terminal) == 0 && unlockpt(terminal) == 0) {
      step = "open ptsname";
      run_side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
      if (run_side >= 0) return true;
    }
  }
  const int error = errno;
  if (terminal >= 0) close(terminal);
  failure = std::string(step) + ": " + std::strerror(error);
  return false;
}

// Runs `command` in sh with its standard error on a new pseudo-terminal;
// returns the exit status and, in `received`, all that the terminal got.
int RunShellOnTerminal(const std::string& command, std::string& received) {
  int terminal = -1;
  // Opened here before the run starts, so that the terminal reads as hung up
  // only once the run's last descriptor of it is closed.
  int run_side = -1;
  std::string failure;
  if (!OpenPseudoTerminal(terminal, run_side, failure)) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(terminal);
    close(run_side);
    return -1;
  }
  if (pid == 0) {
    dup2(run_side, STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(run_side);
  char buffer[4096];
  for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) != 0;) {
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    if (got < 0 && errno != EINTR) break;  // EIO: every descriptor of the run's side is closed
  }
  close(terminal);
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult RunProgram(const std::string& program, const fs::path& working_folder,
                     const std::vector<std::string>& arguments, const std::string& shell_prefix,
                     bool errors_to_terminal = false) {
  const fs::path capture = working_folder.parent_path() /
                           (working_folder.filename().string() + ".stdout");
  const fs::path error_capture = working_folder.parent_path() /
                                 (working_folder.filename().string() + ".stderr");
  std::string command = "cd " + QuoteForShell(working_folder.string()) + " && " +
                        shell_prefix + " " + Environment("ARTPEEL_TEST_LAUNCHER") + " " +
                        CommandFor(program);
  for (const std::string& argument : arguments) command += " " + QuoteForShell(argument);
  command += " >" + QuoteForShell(capture.string()) + " </dev/null";
  RunResult result;
  if (errors_to_terminal) {
    result.exit_status = RunShellOnTerminal(command, result.errors);
  } else {
    command += " 2>" + QuoteForShell(error_capture.string());
    result.exit_status = RunShell("sh -c " + QuoteForShell(command));
    result.errors = ReadWholeFile(error_capture);
  }
  result.output = ReadWholeFile(capture);
  fs::remove(capture);
  fs::remove(error_capture);
  EXPECT_NE(result.exit_status, kMemoryCheckerExitStatus) << "a memory checker found a fault";
  return result;
}

}  // namespace

RunResult RunArtpeel(const fs::path& working_folder, const std::vector<std::string>& arguments,
                     const std::string& shell_prefix) {
  return RunProgram(ProgramBinary(), working_folder, arguments, shell_prefix);
}

RunResult RunArtpeelOnTerminal(const fs::path& working_folder,
                               const std::vector<std::string>& arguments,
                               const std::string& shell_prefix) {
  return RunProgram(ProgramBinary(), working_folder, arguments, shell_prefix, true);
}

RunResult RunArtpeelOnNewConsole(const std::string& parent, const fs::path& working_folder,
                                 const std::vector<std::string>& arguments) {
  const fs::path helper = fs::path(Environment("ARTPEEL_TEST_NEW_CONSOLE")).parent_path() / parent;
  std::vector<std::string> command{ProgramName()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunProgram(helper.string(), working_folder, command, "");
}

bool PseudoTerminalAvailable(std::string& reason) {
  int terminal = -1;
  int run_side = -1;
  std::string failure;
  if (!OpenPseudoTerminal(terminal, run_side, failure)) {
    reason = "no pseudo-terminal can be had here (" + failure +
             "): is /dev/pts mounted, as a plain chroot may not have it?";
    return false;
  }
  close(terminal);
  close(run_side);
  return true;
}

bool RunningAsRoot() { return RunShell("test \"$(id -u)\" = 0") == 0; }

RunningArtpeel StartArtpeel(const fs::path& working_folder,
                            const std::vector<std::string>& arguments,
                            const std::string& shell_prefix) {
  std::string artpeel = Environment("ARTPEEL_TEST_LAUNCHER") + " " + CommandFor(ProgramBinary());
  for (const std::string& argument : arguments) artpeel += " " + QuoteForShell(argument);
  // The shells exec their way to artpeel, which keeps the process id they print.
  const std::string command =
      "cd " + QuoteForShell(working_folder.string()) + " && exec sh -c " +
      QuoteForShell("echo $$; " + shell_prefix + " exec " + artpeel + " 2>/dev/null </dev/null");
  RunningArtpeel run;
  run.report = popen(command.c_str(), "r");
  std::string pid;
  if (run.report != nullptr && ReadReportLine(run, pid)) run.pid = std::atoi(pid.c_str());
  return run;
}

bool ReadReportLine(RunningArtpeel& run, std::string& line) {
  line.clear();
  for (int c; run.report != nullptr && (c = std::fgetc(run.report)) != EOF;) {
    if (c == '\n') return true;
    line += static_cast<char>(c);
  }
  return !line.empty();
}

int WalkingProcess(const RunningArtpeel& run) {
  const std::string artpeel = std::to_string(run.pid);
  int child = run.pid;
  std::ifstream("/proc/" + artpeel + "/task/" + artpeel + "/children") >> child;
  return child;
}

char ProcessState(const fs::path& process) {
  std::string stat;  // the state follows the name in parentheses
  std::getline(std::ifstream(process / "stat"), stat);
  const std::size_t at = stat.rfind(") ");
  return at == std::string::npos || at + 2 >= stat.size() ? 0 : stat[at + 2];
}

char ProcessState(int pid) { return ProcessState("/proc/" + std::to_string(pid)); }

void StopRun(const RunningArtpeel& run) {
  // The supervisor, continued a moment ago, may pass its SIGCONT on to the
  // walk after the walk was stopped: the walk is stopped again until both are.
  const std::vector<int> processes{run.pid, WalkingProcess(run)};
  for (const int pid : processes) {
    for (bool stopped = false; !stopped; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      kill(pid, SIGSTOP);
      stopped = true;  // every thread of it
      for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const char state = ProcessState(task.path());
        stopped = stopped && (state == 'T' || state == 't');
      }
    }
  }
}

int FinishArtpeel(RunningArtpeel& run, std::string* rest) {
  if (run.report == nullptr) return -1;
  // Under Wine a run may hang for good: the report is read without blocking,
  // up to a deadline.
  const int fd = fileno(run.report);
  if (TestingWindows()) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + kWineRunDeadline;
  for (;;) {
    const int c = std::fgetc(run.report);
    if (c != EOF) {
      if (rest != nullptr) *rest += static_cast<char>(c);
      continue;
    }
    if (!std::ferror(run.report) || errno != EAGAIN) break;
    std::clearerr(run.report);
    if (std::chrono::steady_clock::now() > deadline) {
      EndHungRun(run.pid);
      deadline = std::chrono::steady_clock::time_point::max();
    }
    pollfd readable = {fd, POLLIN, 0};
    poll(&readable, 1, 100);
  }
  const int status = pclose(run.report);
  run.report = nullptr;
  return status;
}

RunResult RunArtpeelUnprivileged(const TempFolder& temp, const fs::path& working_folder,
                                 const std::vector<std::string>& arguments,
                                 const std::string& shell_prefix) {
  if (!RunningAsRoot()) return RunArtpeel(working_folder, arguments, shell_prefix);
  const fs::path program = temp.path() / "program" / fs::path(ProgramBinary()).filename();
  fs::create_directory(program.parent_path());
  fs::copy_file(ProgramBinary(), program);
  return RunProgram(program.string(), working_folder, arguments,
                    "chmod -R a+rwX " + QuoteForShell(temp.path().string()) + " && " +
                        shell_prefix + " setpriv --reuid=65534 --regid=65534 --clear-groups --");
}

std::vector<std::string> FileBlocks(const std::string& report) {
  std::vector<std::string> blocks;
  const std::string opening = "Dumping contents of ";
  for (std::size_t start = report.find(opening); start != std::string::npos;) {
    const std::size_t next = report.find(opening, start + 1);
    blocks.push_back(report.substr(start, next - start));
    start = next;
  }
  return blocks;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReportOf(const std::string& cache_file, const std::string& item_lines) {
  return "Dumping contents of " + cache_file + ":\n\tdumping items...\n" + item_lines;
}

std::string WroteLine(int index, const std::string& image, std::size_t size) {
  char number[16];
  std::snprintf(number, sizeof number, "%2d", index);
  return "\t\t[" + std::string(number) + "] wrote PNG image to file '" + image + "'(" +
         std::to_string(size) + ")\n";
}

LibraryTest::LibraryTest() {
  fs::create_directories(library_);
  fs::create_directories(out_);
}

fs::path LibraryTest::AddFile(const fs::path& relative, const std::vector<std::uint8_t>& bytes) {
  WriteWholeFile(library_ / relative, bytes);
  return library_ / relative;
}

RunResult LibraryTest::Run(const std::string& shell_prefix) {
  return RunArtpeel(out_, {NativePath(library_)}, shell_prefix);
}

}  // namespace artpeel::testing
