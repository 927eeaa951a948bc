// Support for the end-to-end tests: a fresh temporary folder per test, running
// the built artpeel binary in it, and reading back what it wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace artpeel::testing {

namespace fs = std::filesystem;

// A new, empty folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct RunResult {
  int exit_status = -1;
  std::string output;  // standard output, byte for byte
};

// The exit status the sanitizers and valgrind are told to end artpeel with when
// they find a fault (see the sanitize and valgrind test presets); RunArtpeel
// fails the test on it.
inline constexpr int kMemoryCheckerExitStatus = 86;

// Runs artpeel with `arguments` in `working_folder`. `shell_prefix` is put before
// the command in the shell that runs it (for a umask or a file size limit). The
// environment variable ARTPEEL_TEST_LAUNCHER, when set, names a program such as
// valgrind to run artpeel under.
RunResult RunArtpeel(const fs::path& working_folder, const std::vector<std::string>& arguments,
                     const std::string& shell_prefix = "");

// Runs a shell command; returns its exit status.
int RunShell(const std::string& command);

std::string QuoteForShell(const std::string& text);

// Every regular file directly in `folder`, by name, with its bytes.
std::map<std::string, std::string> FilesIn(const fs::path& folder);

std::string ReadWholeFile(const fs::path& path);
void WriteWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes);
std::string AsString(const std::vector<std::uint8_t>& bytes);

}  // namespace artpeel::testing
