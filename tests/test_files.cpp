#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace artpeel::testing {

namespace {

// Tests take permissions away; give them back so that everything can be
// removed. Links are not followed out of the folder.
void RestorePermissions(const fs::path& path) {
  std::error_code ignored;
  if (fs::is_symlink(fs::symlink_status(path, ignored))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  if (!fs::is_directory(path, ignored)) return;
  for (fs::directory_iterator entry(path, ignored), end; entry != end;
       entry.increment(ignored)) {
    RestorePermissions(entry->path());
  }
}

}  // namespace

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
  RestorePermissions(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

InFolder::InFolder(const fs::path& folder) : previous_(fs::current_path()) {
  fs::current_path(folder);
}

InFolder::~InFolder() { fs::current_path(previous_); }

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
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string AsString(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace artpeel::testing
