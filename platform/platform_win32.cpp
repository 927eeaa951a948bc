// Win32 implementation of the operating-system layer, on the narrow-character
// ("A") file, mapping and search services.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace artpeel::platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

}  // namespace

std::size_t MaxPathLength() { return MAX_PATH; }

void PrepareProcess() {
  // The C runtime's text mode would turn every "\n" of the report into "\r\n";
  // the report's bytes are the same on every platform.
  _setmode(_fileno(stdout), _O_BINARY);
  InstallInterruptCleanup();
}

// ---- Reading a cache file ------------------------------------------------------

MappedFile MapFileReadOnly(const char* path) {
  MappedFile file;
  // No sharing: while the file is read nobody else may open it, and a file that
  // another process holds open fails here with ERROR_SHARING_VIOLATION.
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    file.status = MapStatus::kOpenFailed;
    file.error_code = GetLastError();
    return file;
  }
  DWORD size_high = 0;
  const DWORD size_low = GetFileSize(handle, &size_high);
  if (size_low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    file.status = MapStatus::kMapFailed;
    CloseHandle(handle);
    return file;
  }
  const std::uint64_t size = std::uint64_t{size_high} << 32 | size_low;
  // Size 0 maps the whole file; an empty file cannot be mapped and fails here.
  const HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    file.status = MapStatus::kMapFailed;
    CloseHandle(handle);
    return file;
  }
  const void* view = nullptr;
  if (size <= SIZE_MAX) {
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  }
  if (view == nullptr) {
    file.status = MapStatus::kViewFailed;
    CloseHandle(mapping);
    CloseHandle(handle);
    return file;
  }
  file.status = MapStatus::kMapped;
  file.data = static_cast<const unsigned char*>(view);
  file.size = size;
  file.file_handle = FromHandle(handle);
  file.mapping_handle = FromHandle(mapping);
  return file;
}

void ReleaseMappedFile(MappedFile& file) {
  if (file.data != nullptr) {
    UnmapViewOfFile(file.data);
    file.data = nullptr;
  }
  if (file.mapping_handle != -1) {
    CloseHandle(AsHandle(file.mapping_handle));
    file.mapping_handle = -1;
  }
  if (file.file_handle != -1) {
    CloseHandle(AsHandle(file.file_handle));
    file.file_handle = -1;
  }
}

// ---- Listing a folder ----------------------------------------------------------

namespace {

// The volume serial number and file index of the folder at `path`: the same for
// every path that leads to it, links and junctions included.
bool ReadFolderId(const char* path, FolderId& id) {
  // Backup semantics is what lets CreateFileA open a folder; asking for no access
  // and sharing everything keeps the query from disturbing anyone.
  const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

// Stands in for the id of a folder that cannot be queried: a hash of its path,
// marked with a volume no real serial number has. Distinct paths give distinct
// ids, so such a folder is never mistaken for one already walked;
// a cycle through such folders still ends at the path limit.
FolderId PathFolderId(const char* path) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char* c = path; *c != '\0'; ++c) {
    hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  }
  return {~std::uint64_t{0}, hash};
}

}  // namespace

bool ListFolder(const char* path, FolderListing& listing) {
  listing.names.clear();
  listing.entries.clear();
  // One search for every entry; the walk picks out the cache files itself.
  std::string pattern = path;
  pattern += "\\*.*";
  if (pattern.size() >= MAX_PATH) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  if (!ReadFolderId(path, listing.id)) listing.id = PathFolderId(path);
  do {
    const char* name = found.cFileName;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // Junctions and links to folders carry the folder attribute too.
    const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    listing.entries.push_back({listing.names.size(), is_folder});
    listing.names.append(name, std::strlen(name) + 1);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

std::string AbsolutePath(const char* path) {
  char buffer[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, MAX_PATH, buffer, nullptr);
  if (length == 0) return path;
  if (length < MAX_PATH) return std::string(buffer, length);
  // Too long for the buffer: `length` is the size needed, terminator included.
  // Such a path is past the search limit anyway, but it is still reported right.
  std::string absolute(length, '\0');
  const DWORD written = GetFullPathNameA(path, length, absolute.data(), nullptr);
  if (written == 0 || written >= length) return path;
  absolute.resize(written);
  return absolute;
}

}  // namespace artpeel::platform
