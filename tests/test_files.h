// Temporary folders and whole files for the tests, the same on every platform
// the tests run on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

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

// Makes `folder` the current folder for as long as the object lives: the
// export writes its images to the current folder.
class InFolder {
 public:
  explicit InFolder(const fs::path& folder);
  ~InFolder();
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path previous_;
};

// Every regular file directly in `folder`, by name, with its bytes.
std::map<std::string, std::string> FilesIn(const fs::path& folder);

std::string ReadWholeFile(const fs::path& path);
// Creates the folders above `path` as needed.
void WriteWholeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes);
std::string AsString(const std::vector<std::uint8_t>& bytes);

// Opens and maps `path` as the walk does for a cache file at its turn.
inline platform::MappedFile MapFileReadOnly(const char* path) {
  platform::MappedFile file = platform::OpenFileReadOnly(path);
  if (file.status == platform::MapStatus::kOpened) platform::MapOpenedFile(file);
  return file;
}

}  // namespace artpeel::testing
