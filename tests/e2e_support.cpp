#include "tests/e2e_support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

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

TempFolder::TempFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (;;) {
    path_ = fs::temp_directory_path() / ("artpeel-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
  path_ = fs::canonical(path_);
}

TempFolder::~TempFolder() {
  // Tests take permissions away; give them back so everything can be removed.
  RunShell("chmod -R u+rwx " + QuoteForShell(path_.string()) + " 2>/dev/null");
  std::error_code ignored;
  fs::remove_all(path_, ignored);
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

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  // std::system returns a wait status on POSIX: the exit code is its second byte.
  return status >= 0 ? (status >> 8) & 0xFF : -1;
}

namespace {

std::string Launcher() {
  const char* launcher = std::getenv("ARTPEEL_TEST_LAUNCHER");
  return launcher != nullptr && *launcher != '\0' ? std::string(launcher) + " " : "";
}

}  // namespace

RunResult RunArtpeel(const fs::path& working_folder, const std::vector<std::string>& arguments,
                     const std::string& shell_prefix) {
  const fs::path capture = working_folder.parent_path() /
                           (working_folder.filename().string() + ".stdout");
  const fs::path error_capture = working_folder.parent_path() /
                                 (working_folder.filename().string() + ".stderr");
  std::string command = "cd " + QuoteForShell(working_folder.string()) + " && " +
                        shell_prefix + " " + Launcher() + CommandFor(ProgramBinary());
  for (const std::string& argument : arguments) command += " " + QuoteForShell(argument);
  command += " >" + QuoteForShell(capture.string()) + " 2>" +
             QuoteForShell(error_capture.string()) + " </dev/null";
  RunResult result;
  result.exit_status = RunShell("sh -c " + QuoteForShell(command));
  result.output = ReadWholeFile(capture);
  result.errors = ReadWholeFile(error_capture);
  fs::remove(capture);
  fs::remove(error_capture);
  EXPECT_NE(result.exit_status, kMemoryCheckerExitStatus) << "a memory checker found a fault";
  return result;
}

std::map<std::string, std::string> FilesIn(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      files[entry.path().filename().string()] = ReadWholeFile(entry.path());
    }
  }
  return files;
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

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string AsString(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace artpeel::testing
