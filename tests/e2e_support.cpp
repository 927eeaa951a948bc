#include "tests/e2e_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace artpeel::testing {

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
  std::string command = "cd " + QuoteForShell(working_folder.string()) + " && " +
                        shell_prefix + " " + Launcher() + QuoteForShell(ARTPEEL_BINARY);
  for (const std::string& argument : arguments) command += " " + QuoteForShell(argument);
  command += " >" + QuoteForShell(capture.string()) + " </dev/null";
  RunResult result;
  result.exit_status = RunShell("sh -c " + QuoteForShell(command));
  result.output = ReadWholeFile(capture);
  fs::remove(capture);
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
