// Faults of the file system, put into a run of artpeel with LD_PRELOAD: the
// environment variable ARTPEEL_FAULT says which.
//   listing:NAME  reading the folder NAME (a path ending in "/NAME") fails with
//                 EIO where it would have ended: after all its entries, so that
//                 what a run makes of them is known
//   link:ERRNO    every linkat fails with ERRNO (EPERM or ENOSPC)
//   hang:at-end   the run, once it has told its supervisor it has finished,
//                 never ends, as a thread held in the kernel by a share keeps it
//   tmpfile:fail  every open of an unnamed file (O_TMPFILE) fails, as on NFS,
//                 sshfs or vfat
//   fork:fail     every fork fails, as past RLIMIT_NPROC
//   thread:fail   no thread can be started
//   blocked:TSTP  the run starts with SIGTSTP blocked
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>

namespace {

// What follows "KIND:" in ARTPEEL_FAULT; empty for a fault of another kind.
std::string Fault(const std::string& kind) {
  const char* fault = std::getenv("ARTPEEL_FAULT");
  const std::string text = fault != nullptr ? fault : "";
  return text.starts_with(kind + ":") ? text.substr(kind.size() + 1) : "";
}

// Whether the folder open at `fd` is the one whose listing fails.
bool ListingFails(int fd) {
  const std::string name = Fault("listing");
  char path[4096];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return !name.empty() && length > 0 &&
         std::string(path, static_cast<std::size_t>(length)).ends_with("/" + name);
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t getdents64(int fd, void* buffer, size_t size) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("getdents64");
  const ssize_t filled = next(fd, buffer, size);
  if (filled != 0 || !ListingFails(fd)) return filled;
  errno = EIO;
  return -1;
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
  if (error.empty()) {
    static const auto next = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
    return next(from_folder, from, to_folder, to, flags);
  }
  errno = error == "EPERM" ? EPERM : ENOSPC;
  return -1;
}

extern "C" int kill(pid_t pid, int signal_number) {
  static const auto next = Next<int (*)(pid_t, int)>("kill");
  const int sent = next(pid, signal_number);
  if (signal_number == SIGCHLD && Fault("hang") == "at-end") {
    for (;;) pause();
  }
  return sent;
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto next = Next<int (*)(const char*, int, ...)>("open");
  const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
  std::va_list more;
  va_start(more, flags);
  const mode_t mode = unnamed || (flags & O_CREAT) != 0 ? va_arg(more, mode_t) : 0;
  va_end(more);
  if (unnamed && Fault("tmpfile") == "fail") {
    errno = EOPNOTSUPP;
    return -1;
  }
  return next(path, flags, mode);
}

extern "C" pid_t fork() {
  if (Fault("fork") == "fail") {
    errno = EAGAIN;
    return -1;
  }
  return Next<pid_t (*)()>("fork")();
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*run)(void*), void* argument) {
  if (Fault("thread") == "fail") return EAGAIN;
  static const auto next =
      Next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  return next(thread, attributes, run, argument);
}

__attribute__((constructor)) static void BlockAtStart() {
  if (Fault("blocked") != "TSTP") return;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
}
