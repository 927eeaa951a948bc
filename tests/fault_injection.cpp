// Faults of the file system, put into a run of artpeel with LD_PRELOAD: the
// environment variable ARTPEEL_FAULT says which.
//   listing:NAME  reading the folder NAME (a path ending in "/NAME") fails with
//                 EIO where it would have ended: after all its entries, so that
//                 what a run makes of them is known
//   link:ERRNO    every linkat fails with ERRNO (EPERM or ENOSPC)
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Fault(const char* kind) {
  const char* fault = std::getenv("ARTPEEL_FAULT");
  const std::size_t length = std::strlen(kind);
  if (fault == nullptr || std::strncmp(fault, kind, length) != 0 || fault[length] != ':') return {};
  return fault + length + 1;
}

// Whether the folder open at `fd` is the one whose listing fails.
bool ListingFails(int fd) {
  const std::string name = Fault("listing");
  if (name.empty()) return false;
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return false;
  path[length] = '\0';
  const std::string ending = "/" + name;
  return static_cast<std::size_t>(length) >= ending.size() &&
         ending == path + (static_cast<std::size_t>(length) - ending.size());
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t getdents64(int fd, void* buffer, size_t size) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("getdents64");
  const ssize_t filled = next(fd, buffer, size);
  if (filled == 0 && ListingFails(fd)) {
    errno = EIO;
    return -1;
  }
  return filled;
}

extern "C" struct dirent* readdir(DIR* folder) {
  static const auto next = Next<struct dirent* (*)(DIR*)>("readdir");
  errno = 0;
  struct dirent* entry = next(folder);
  if (entry == nullptr && errno == 0 && ListingFails(dirfd(folder))) errno = EIO;
  return entry;
}

extern "C" int linkat(int from_folder, const char* from, int to_folder, const char* to,
                      int flags) {
  const std::string error = Fault("link");
  if (!error.empty()) {
    errno = error == "EPERM" ? EPERM : ENOSPC;
    return -1;
  }
  static const auto next = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
  return next(from_folder, from, to_folder, to, flags);
}
