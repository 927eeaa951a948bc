// POSIX implementation of the operating-system layer. It is plain POSIX, so that
// it builds on macOS and the BSDs; where CMake found a Linux service that does
// the same job faster (ARTPEEL_HAVE_*), that service is used instead.
#include "platform/platform.h"
#include "platform/close_soon_posix.h"
#include "platform/run_ending_posix.h"
#include "platform/run_output.h"
#include "platform/view_region_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if ARTPEEL_HAVE_M_ARENA_MAX || ARTPEEL_HAVE_MALLOC_TRIM
#include <malloc.h>
#endif
#if ARTPEEL_HAVE_STATX
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace artpeel::platform {

std::size_t MaxPathLength() { return PATH_MAX; }

std::size_t PathLength(std::string_view path) { return path.size(); }

void PrepareProcess() {
  SuperviseRun();
  // POSIX streams never translate line endings. Past RLIMIT_FSIZE the kernel
  // sends SIGXFSZ, which would kill the run mid-write; ignored, the write fails
  // with EFBIG and the export cleans up and reports it.
  signal(SIGXFSZ, SIG_IGN);
#if ARTPEEL_HAVE_M_ARENA_MAX
  // glibc gives each thread that allocates an arena of its own, which takes
  // 64 MiB of address space: under a limit on it, the look-ahead's helpers
  // would take what the walk needs to map its cache files. They allocate
  // little, and share the one arena there.
  struct rlimit address_space;
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    mallopt(M_ARENA_MAX, 1);
  }
#endif
  InstallInterruptCleanup();
}

std::string ErrorMessage(std::uint32_t code) {
  // Never localised: the program does not call setlocale.
  return std::strerror(static_cast<int>(code));
}

// A terminal takes the report's bytes as they are, a line at a time: nothing to
// flush, nothing to put back.
void FlushConsoleReport() {}

void RestoreConsole() {}

ConsoleFacts ReadConsoleFacts() { return {}; }

void HoldOwnConsoleOpen() {}

// ---- Reading a cache file ------------------------------------------------------

namespace {

// What a path named, links followed, when it was opened for reading.
enum class PathKind {
  kRegularFile,  // opened for reading
  kUnreachable,  // no file to look at: missing, a dangling or looping link, no permission
  kFolder,
  kOther,  // a device, FIFO or socket: never opened for reading
};

// Where a path is opened: by its name in `in_folder`, which holds it, or whole.
struct Place {
  int folder;
  const char* name;
};

Place PlaceOf(const char* path, std::intptr_t in_folder) {
  if (in_folder < 0) return {AT_FDCWD, path};
  const char* last_separator = std::strrchr(path, '/');
  return {static_cast<int>(in_folder), last_separator != nullptr ? last_separator + 1 : path};
}

struct RegularFile {
  PathKind kind = PathKind::kUnreachable;
  int fd = -1;             // open for reading, for kRegularFile only; the caller closes it
  std::uint64_t size = 0;  // the size fstat gave, for kRegularFile
  int error = 0;           // errno of the failed open, for kUnreachable
};

PathKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return PathKind::kRegularFile;
  return S_ISDIR(mode) ? PathKind::kFolder : PathKind::kOther;
}

PathKind KindOf(const struct stat& info) { return KindOf(info.st_mode); }

// Opens the file at `place` for reading only if it is, links followed, a
// regular file, and returns the descriptor with the file's size. For anything
// else no descriptor is left open and `kind` says what the path was. This is
// the safe way, for names the listing does not vouch for (OpenListedFile
// below). A library is a tree nobody vouches for, and opening a device has
// effects of its own (a tape rewinds, a watchdog arms, a terminal may become
// the controlling one), so nothing but a regular file is ever opened for
// reading, even when a regular file is swapped for a device between a check and
// the open.
//
// With O_PATH the path is resolved once, to a descriptor that does not open
// what it names; its type is checked on that descriptor, and only a regular file
// is then opened for reading through /proc/self/fd, which reaches the same file
// whatever has happened to the path since. Without O_PATH or /proc the type is
// checked by stat before the open and again after it: a swap in between still
// gets the device opened, though without blocking and without it becoming the
// controlling terminal, and it is then closed unread.
RegularFile OpenRegularFileForReading(const Place& place) {
  constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  RegularFile file;
  struct stat info;
#if ARTPEEL_HAVE_O_PATH
  const int path_fd = openat(place.folder, place.name, O_PATH | O_CLOEXEC);
  if (path_fd < 0) {
    file.error = errno;
    return file;
  }
  file.kind = fstat(path_fd, &info) == 0 ? KindOf(info) : PathKind::kOther;
  if (file.kind != PathKind::kRegularFile) {
    close(path_fd);
    return file;
  }
  char reopen_path[32];
  std::snprintf(reopen_path, sizeof reopen_path, "/proc/self/fd/%d", path_fd);
  file.fd = open(reopen_path, kReadFlags);
  const int reopen_error = errno;
  close(path_fd);
  if (file.fd < 0 && reopen_error != ENOENT) {
    // The file's own refusal, such as EACCES: the same as a plain open's.
    file.kind = PathKind::kUnreachable;
    file.error = reopen_error;
    return file;
  }
  // ENOENT: /proc is not mounted; the path itself is opened below.
#else
  if (fstatat(place.folder, place.name, &info, 0) != 0) {
    file.error = errno;
    return file;
  }
  file.kind = KindOf(info);
  if (file.kind != PathKind::kRegularFile) return file;
#endif
  if (file.fd < 0) {
    file.fd = openat(place.folder, place.name, kReadFlags);
    if (file.fd < 0) {
      file.error = errno;
      // A socket swapped in refuses to be opened with ENXIO.
      file.kind = file.error == ENXIO ? PathKind::kOther : PathKind::kUnreachable;
      return file;
    }
    file.kind = fstat(file.fd, &info) == 0 ? KindOf(info) : PathKind::kOther;
    if (file.kind != PathKind::kRegularFile) {
      close(file.fd);
      file.fd = -1;
      return file;
    }
  }
  file.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return file;
}

constexpr int kListedFileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

// Opens the file at `place`, which its folder's listing says is a regular file,
// in one call, without the look above. O_NOFOLLOW refuses a link put in its
// place since (the safe way then takes it), so no link to a device is followed;
// a device or FIFO node made in its place in that instant (which a device takes
// a privilege to make) is opened without blocking or becoming the terminal, and
// its type, checked on the descriptor before anything is read (MapOpenedFile,
// ReadOpenedFileSize), gets it closed unread. The size is not asked here: it is
// asked at the map, and ahead of it only where bytes are to be asked into the
// cache. False when the open must go the safe way.
bool OpenListedFile(const Place& place, MappedFile& file) {
  const int fd = openat(place.folder, place.name, kListedFileFlags);
  if (fd < 0 && (errno == ELOOP || errno == ENXIO)) return false;
  if (fd < 0) {
    file.status = MapStatus::kOpenFailed;
    file.error_code = static_cast<std::uint32_t>(errno);
    return true;
  }
  file.status = MapStatus::kOpened;
  file.file_handle = fd;
  return true;
}

}  // namespace

MappedFile OpenFileReadOnly(const char* path, bool listed_as_file, std::intptr_t in_folder) {
  MappedFile file;
  const Place place = PlaceOf(path, in_folder);
  if (listed_as_file && OpenListedFile(place, file)) return file;
  const RegularFile opened = OpenRegularFileForReading(place);
  switch (opened.kind) {
    case PathKind::kUnreachable:
      file.status = MapStatus::kOpenFailed;
      file.error_code = static_cast<std::uint32_t>(opened.error);
      return file;
    case PathKind::kFolder:
      // POSIX lets a folder be opened for reading; report it as the failed open
      // it is everywhere else.
      file.status = MapStatus::kOpenFailed;
      file.error_code = EISDIR;
      return file;
    case PathKind::kOther:
      file.status = MapStatus::kMapFailed;
      return file;
    case PathKind::kRegularFile:
      break;
  }
  file.status = MapStatus::kOpened;
  file.file_handle = opened.fd;
  file.size = opened.size;
  return file;
}

// No other process can hold a file against an open here.
MappedFile OpenCacheFileAtItsTurn(const char* path, bool listed_as_file) {
  return OpenFileReadOnly(path, listed_as_file);
}

namespace {

// The kind and size of the file open at `fd` now. fstat asks as the file
// system's rules have it: a share that caches attributes answers from its
// cache while they are fresh, one that does not (NFS mounted noac, FUSE with
// attr_timeout=0) asks its server, and a changed size or time there drops the
// bytes it had cached of the file. `as_cached` takes what is cached, however
// old, and asks no server.
PathKind CurrentKind(int fd, std::uint64_t& size, bool as_cached = false) {
#if ARTPEEL_HAVE_STATX
  constexpr unsigned kWanted = STATX_TYPE | STATX_SIZE;
  struct statx cached;
  if (as_cached && statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kWanted, &cached) == 0 &&
      (cached.stx_mask & kWanted) == kWanted) {
    size = cached.stx_size;
    return KindOf(static_cast<mode_t>(cached.stx_mode));
  }
#else
  static_cast<void>(as_cached);
#endif
  struct stat info;
  if (fstat(fd, &info) != 0) return PathKind::kOther;
  size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return KindOf(info);
}

// Gives back the view of `file`; the file stays open.
void ReleaseView(MappedFile& file) {
  UnmapView(file.data, static_cast<std::size_t>(file.size), file.view_region);
  file.data = nullptr;
  file.view_region = 0;
}

}  // namespace

bool ReadOpenedFileSize(MappedFile& file) {
  return file.file_handle >= 0 &&
         CurrentKind(static_cast<int>(file.file_handle), file.size) == PathKind::kRegularFile;
}

bool AttributesCached(const MappedFile& file) {
  // A cached answer takes a microsecond or two, a server's a round trip; a
  // busy machine that keeps this thread from a processor at that moment only
  // has the next file's turn ask again.
  constexpr std::uint64_t kMostMicrosecondsFromCache = 50;
  const std::uint64_t start = MonotonicMicroseconds();
  struct stat info;
  return fstat(static_cast<int>(file.file_handle), &info) == 0 &&
         MonotonicMicroseconds() - start < kMostMicrosecondsFromCache;
}

void MapOpenedFile(MappedFile& file, bool as_cached) {
  const int fd = static_cast<int>(file.file_handle);
  // A file opened ahead of its turn may have been rewritten or cut short since
  // its open: it is read as it is now, as an open at its turn would read it. A
  // file opened in one call is known to be a regular file only from here on.
  // A view a helper made ahead serves while the file still has the size it was
  // made at; otherwise the file is mapped afresh.
  std::uint64_t size = 0;
  const PathKind kind = CurrentKind(fd, size, as_cached);
  if (file.data != nullptr) {
    if (kind == PathKind::kRegularFile && size == file.size) {
      file.status = MapStatus::kMapped;
      return;
    }
    ReleaseView(file);
  }
  file.size = size;
  switch (kind) {
    case PathKind::kRegularFile:
      break;
    case PathKind::kFolder:
      file.status = MapStatus::kOpenFailed;
      file.error_code = EISDIR;
      ReleaseMappedFile(file);
      return;
    case PathKind::kUnreachable:
    case PathKind::kOther:
      file.status = MapStatus::kMapFailed;
      ReleaseMappedFile(file);
      return;
  }
  if (size == 0) {
    file.status = MapStatus::kMapFailed;
    ReleaseMappedFile(file);
    return;
  }
#if ARTPEEL_HAVE_MAP_POPULATE && !ARTPEEL_HAVE_SENDFILE
  // Every page of a cache file is read, the headers by the reader and the
  // payloads by write(), so mapping the pages in one go at mmap saves a page
  // fault for each run of pages the kernel maps at a time. A file too large to
  // be a usual cache file is mapped lazily, so one that turns out not to be
  // ITC2 is never read whole.
  constexpr std::uint64_t kPopulateLimit = std::uint64_t{16} << 20;
  const int populate = size <= kPopulateLimit ? MAP_POPULATE : 0;
#else
  // Where the images are copied from the file by the kernel, only the pages
  // that hold headers are read through the mapping: they are mapped as they
  // are touched. Every page mapped into the process must be taken out again
  // at munmap, which on some virtual machines costs far more than the copy.
  // Elsewhere, without MAP_POPULATE, the pages are mapped as they are first
  // read too.
  constexpr int populate = 0;
#endif
  const unsigned char* view = nullptr;
  if (size <= SIZE_MAX) {
    view = MapView(fd, static_cast<std::size_t>(size), populate, file.view_region);
  } else {
    errno = EFBIG;
  }
  if (view == nullptr) {
    file.status = MapStatus::kViewFailed;
    file.error_code = static_cast<std::uint32_t>(errno);
    ReleaseMappedFile(file);
    return;
  }
  file.status = MapStatus::kMapped;
  file.data = view;
}

void ReleaseMappedFile(MappedFile& file) {
  // POSIX maps in one step: there is no separate mapping object to close.
  if (file.data != nullptr) ReleaseView(file);
  if (file.file_handle >= 0) {
    CloseSoon(static_cast<int>(file.file_handle));
    file.file_handle = -1;
  }
}

bool OpenMayWorkLater(std::uint32_t error_code) {
  return error_code == EMFILE || error_code == ENFILE || error_code == ENOMEM;
}

// ---- Looking ahead -------------------------------------------------------------

bool InCacheAlready(const MappedFile& file) {
#if ARTPEEL_HAVE_RWF_NOWAIT
  // A read that must not wait returns EAGAIN where the byte is not in the
  // cache; a file system that cannot tell (a share through FUSE) refuses the
  // flag. The byte read is not looked at.
  if (file.file_handle < 0 || file.size == 0) return false;
  unsigned char last;
  struct iovec one = {&last, 1};
  return preadv2(static_cast<int>(file.file_handle), &one, 1,
                 static_cast<off_t>(file.size - 1), RWF_NOWAIT) == 1;
#else
  static_cast<void>(file);
  return false;
#endif
}

bool MapAhead(MappedFile& file, bool size_asked) {
  // Where no view would find room, the file's size is not asked for nothing.
  if (file.file_handle < 0 || file.data != nullptr || !RoomAhead(kLargestFileMappedAhead)) {
    return false;
  }
  std::uint64_t size = file.size;
  if (!size_asked &&
      CurrentKind(static_cast<int>(file.file_handle), size, true) != PathKind::kRegularFile) {
    return false;
  }
  if (size == 0 || size > kLargestFileMappedAhead) return false;
  const unsigned char* const view = MapViewAhead(static_cast<int>(file.file_handle),
                                                 static_cast<std::size_t>(size), file.view_region);
  if (view == nullptr) return false;
  file.data = view;
  file.size = size;
  return true;
}

std::uint64_t ReadIntoCache(const MappedFile& file, std::uint64_t max_bytes) {
#if ARTPEEL_HAVE_POSIX_FADVISE
  // A length of 0 would ask for the whole file.
  const std::uint64_t wanted = file.size < max_bytes ? file.size : max_bytes;
  if (file.file_handle < 0 || wanted == 0) return 0;
  // WILLNEED starts the reads and returns without waiting for them; a share's
  // file system sends them to the server at once. posix_fadvise is POSIX, and
  // FreeBSD has it too.
  const bool asked = posix_fadvise(static_cast<int>(file.file_handle), 0,
                                   static_cast<off_t>(wanted), POSIX_FADV_WILLNEED) == 0;
  return asked ? wanted : 0;
#else
  static_cast<void>(file);
  static_cast<void>(max_bytes);
  return 0;
#endif
}

namespace {

// How many descriptors the process has open: those listed in /proc/self/fd
// (its own listing's descriptor not counted) where it can be read, otherwise
// those below the first 4,096 that the system knows (a limit higher than that
// leaves plenty free above them).
std::size_t OpenDescriptors(rlim_t limit) {
#if ARTPEEL_HAVE_O_PATH
  if (DIR* const open = opendir("/proc/self/fd")) {
    std::size_t count = 0;
    while (const struct dirent* entry = readdir(open)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(open);
    return count > 0 ? count - 1 : 0;
  }
#endif
  const int last = limit < 4096 ? static_cast<int>(limit) : 4096;
  std::size_t count = 0;
  for (int fd = 0; fd < last; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

}  // namespace

std::size_t DescriptorsForLookAhead() {
  // Enough for the most helpers at work on a far share (256, two each at
  // most) and the files opened ahead.
  constexpr std::size_t kMost = 1024;
  // The walk holds at most a cache file and the path it opens it by, an image
  // and its temporary name, and a folder it lists; twice that is kept for it.
  constexpr std::size_t kWalkReserve = 8;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMost;
  const std::size_t open = OpenDescriptors(limit.rlim_cur);
  const std::size_t free_now = limit.rlim_cur > open ? limit.rlim_cur - open : 0;
  if (free_now <= kWalkReserve) return 0;
  // Half of the rest, for whatever else the run opens beside it.
  const std::size_t share = (free_now - kWalkReserve) / 2;
  return share < kMost ? share : kMost;
}

std::uint64_t AddressSpaceForLookAhead() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  // The size of the process's address space is the first figure of
  // /proc/self/statm, in pages; where it cannot be read, half the limit is
  // taken to be in use.
  std::uint64_t used = limit.rlim_cur / 2;
  if (FILE* statm = std::fopen("/proc/self/statm", "re")) {
    unsigned long long pages = 0;
    if (std::fscanf(statm, "%llu", &pages) == 1) {
      used = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    }
    std::fclose(statm);
  }
  // An eighth of what is left: the walk maps each cache file whole.
  return limit.rlim_cur > used ? (limit.rlim_cur - used) / 8 : 0;
}

namespace {

// Helper threads run on stacks of this layer's own making: the C library keeps
// the stacks of its threads that have ended for threads to come, where a limit
// on the address space still counts them. These are kept too, once their
// thread has ended and been joined, but go back to the system when asked
// (GiveBackHelperMemory).
struct HelperThread {
  void (*run)(void* context);
  void* context;
  pthread_t thread;
  unsigned char* stack = nullptr;  // a guard page, then the stack
  bool ended = false;
};

struct HelperThreads {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t one_ended = PTHREAD_COND_INITIALIZER;
  std::vector<HelperThread*> started;  // not joined yet
  // Of helpers joined, for helpers started later. Each munmap of a stack a
  // thread ran on interrupts every processor the process ran on, some 40 us
  // apiece on a virtual machine: at the end of a run of 256 helpers, most of
  // the time it took to stop them.
  std::vector<unsigned char*> spare_stacks;
};

// Never destroyed: a helper held in the kernel may end after the program's
// static objects are gone.
HelperThreads& TheHelperThreads() {
  static HelperThreads& helpers = *new HelperThreads;
  return helpers;
}

std::size_t StackSpan() {
  return kHelperStackBytes + static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void* RunHelperThread(void* started) {
  auto* const helper = static_cast<HelperThread*>(started);
  helper->run(helper->context);
  HelperThreads& helpers = TheHelperThreads();
  pthread_mutex_lock(&helpers.mutex);
  helper->ended = true;
  pthread_cond_broadcast(&helpers.one_ended);
  pthread_mutex_unlock(&helpers.mutex);
  return nullptr;
}

#if ARTPEEL_HAVE_GETDENTS64
// The buffers folders are read into with getdents64, kept for the next
// listing: on the heap, not the stack (the walk's stack may be small, ulimit
// -s), and not freed after each listing, where the heap would give the pages
// back (madvise, a flush on every processor) and fault them in again at the
// next: on a far share, 256 helpers took 4 % of the run's processor time so.
struct ListingBuffer {
  alignas(struct dirent64) char bytes[32 * 1024];
};

struct ListingBuffers {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::vector<ListingBuffer*> spare;  // as many as listings were read at once
};

// Never destroyed, as the helpers' threads are not.
ListingBuffers& TheListingBuffers() {
  static ListingBuffers& buffers = *new ListingBuffers;
  return buffers;
}

ListingBuffer* TakeListingBuffer() {
  ListingBuffers& buffers = TheListingBuffers();
  ListingBuffer* taken = nullptr;
  pthread_mutex_lock(&buffers.mutex);
  if (!buffers.spare.empty()) {
    taken = buffers.spare.back();
    buffers.spare.pop_back();
  }
  pthread_mutex_unlock(&buffers.mutex);
  return taken != nullptr ? taken : new ListingBuffer;
}

void KeepListingBuffer(ListingBuffer* buffer) {
  ListingBuffers& buffers = TheListingBuffers();
  pthread_mutex_lock(&buffers.mutex);
  buffers.spare.push_back(buffer);
  pthread_mutex_unlock(&buffers.mutex);
}

void GiveBackListingBuffers() {
  ListingBuffers& buffers = TheListingBuffers();
  pthread_mutex_lock(&buffers.mutex);
  for (ListingBuffer* buffer : buffers.spare) delete buffer;
  buffers.spare.clear();
  pthread_mutex_unlock(&buffers.mutex);
}
#endif

// Joins the helpers that have ended and keeps their stacks; true when
// none is left. Called with the mutex held.
bool JoinEndedHelpers(HelperThreads& helpers) {
  std::erase_if(helpers.started, [&helpers](HelperThread* helper) {
    if (!helper->ended) return false;
    pthread_join(helper->thread, nullptr);
    helpers.spare_stacks.push_back(helper->stack);
    delete helper;
    return true;
  });
  return helpers.started.empty();
}

}  // namespace

bool StartHelperThread(void (*run)(void* context), void* context) {
  HelperThreads& helpers = TheHelperThreads();
  pthread_mutex_lock(&helpers.mutex);
  JoinEndedHelpers(helpers);
  const std::size_t guard = StackSpan() - kHelperStackBytes;
  void* stack = MAP_FAILED;
  if (!helpers.spare_stacks.empty()) {
    stack = helpers.spare_stacks.back();
    helpers.spare_stacks.pop_back();
  } else {
    stack = mmap(nullptr, StackSpan(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack != MAP_FAILED) mprotect(stack, guard, PROT_NONE);
  }
  pthread_attr_t attributes;
  bool started = stack != MAP_FAILED && pthread_attr_init(&attributes) == 0;
  if (started) {
    auto* const helper = new HelperThread{run, context, {}, static_cast<unsigned char*>(stack)};
    pthread_attr_setstack(&attributes, helper->stack + guard, kHelperStackBytes);
    started = pthread_create(&helper->thread, &attributes, RunHelperThread, helper) == 0;
    pthread_attr_destroy(&attributes);
    if (started) helpers.started.push_back(helper);
    if (!started) delete helper;
  }
  if (!started && stack != MAP_FAILED) munmap(stack, StackSpan());
  pthread_mutex_unlock(&helpers.mutex);
  return started;
}

bool AwaitHelpersEnded(std::uint64_t most_microseconds) {
  HelperThreads& helpers = TheHelperThreads();
  // The condition's clock is the real-time one: another is not to be had on
  // every system.
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  const std::uint64_t nanoseconds =
      static_cast<std::uint64_t>(deadline.tv_nsec) + most_microseconds % 1000000 * 1000;
  deadline.tv_sec += static_cast<time_t>(most_microseconds / 1000000 + nanoseconds / 1000000000);
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
  pthread_mutex_lock(&helpers.mutex);
  bool all_ended = JoinEndedHelpers(helpers);
  while (!all_ended &&
         pthread_cond_timedwait(&helpers.one_ended, &helpers.mutex, &deadline) == 0) {
    all_ended = JoinEndedHelpers(helpers);
  }
  all_ended = JoinEndedHelpers(helpers);
  pthread_mutex_unlock(&helpers.mutex);
  return all_ended;
}

void GiveBackHelperMemory() {
  HelperThreads& helpers = TheHelperThreads();
  pthread_mutex_lock(&helpers.mutex);
  for (unsigned char* stack : helpers.spare_stacks) munmap(stack, StackSpan());
  helpers.spare_stacks.clear();
  pthread_mutex_unlock(&helpers.mutex);
#if ARTPEEL_HAVE_GETDENTS64
  GiveBackListingBuffers();
#endif
#if ARTPEEL_HAVE_MALLOC_TRIM
  // What the helpers had allocated at once, and freed, may still hold the
  // heap's top out: it goes back too.
  malloc_trim(0);
#endif
}

std::uint64_t MonotonicMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

std::uint64_t ProcessorMicroseconds() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  const auto microseconds = [](const struct timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000 +
           static_cast<std::uint64_t>(time.tv_usec);
  };
  return microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
}

// ---- Listing a folder ----------------------------------------------------------

namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// What an entry's type in its folder record says about walking it.
enum class EntryType { kFolder, kFile, kOther, kAskTheFile };

#ifdef DT_UNKNOWN
// Links, and entries whose type the file system does not record, need a stat
// to tell whether they lead to a folder.
EntryType TypeOf(unsigned char d_type) {
  if (d_type == DT_DIR) return EntryType::kFolder;
  if (d_type == DT_REG) return EntryType::kFile;
  if (d_type == DT_LNK || d_type == DT_UNKNOWN) return EntryType::kAskTheFile;
  return EntryType::kOther;
}
#endif

// Adds one entry of the folder open at `folder_fd`. Links to folders count as
// folders: they are walked like them.
void AddEntry(int folder_fd, const char* name, EntryType type, FolderListing& listing) {
  if (IsDotOrDotDot(name)) return;
  bool is_folder = type == EntryType::kFolder;
  if (type == EntryType::kAskTheFile) {
    struct stat target;
    is_folder = fstatat(folder_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
  }
  listing.entries.push_back({listing.names.size(), is_folder, type == EntryType::kFile,
                             type == EntryType::kFolder});
  listing.names.append(name, std::strlen(name) + 1);
}

// The id of the folder open at `folder_fd`: its device and inode.
bool ReadFolderId(int folder_fd, FolderId& id) {
#if ARTPEEL_HAVE_STATX
  // Neither changes while the folder is open: what is cached serves, and a
  // share's server is not asked (for the named folder, the mount's root, it
  // would be a round trip before anything is listed).
  struct statx cached;
  if (statx(folder_fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO, &cached) == 0 &&
      (cached.stx_mask & STATX_INO) != 0) {
    // As fstat would give them.
    id = {static_cast<std::uint64_t>(makedev(cached.stx_dev_major, cached.stx_dev_minor)),
          static_cast<std::uint64_t>(cached.stx_ino)};
    return true;
  }
#endif
  struct stat info;
  if (fstat(folder_fd, &info) != 0) return false;
  id = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

#if ARTPEEL_HAVE_GETDENTS64

// Reads the entries of the folder open at `folder_fd` with getdents64 straight
// into a buffer of its own (opendir would add a system call for every folder
// walked), to its end, or only as far as the first read that returns some
// (`first_read_only`): true when more may follow.
bool ReadEntries(int folder_fd, FolderListing& listing, bool first_read_only) {
  ListingBuffer* const held = TakeListingBuffer();
  char* const buffer = held->bytes;
  bool more = false;
  while (!more) {
    const ssize_t filled = getdents64(folder_fd, buffer, sizeof held->bytes);
    if (filled < 0 && errno == EINTR) continue;
    // An error part way keeps the entries read so far and says why the rest
    // is missing.
    if (filled < 0) listing.error_code = static_cast<std::uint32_t>(errno);
    if (filled <= 0) break;
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(filled);) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      AddEntry(folder_fd, entry->d_name, TypeOf(entry->d_type), listing);
    }
    more = first_read_only;
  }
  KeepListingBuffer(held);
  return more;
}

// Opens the folder and reads its entries (ReadEntries). With `keep_open` the
// folder stays open in `listing.handle`.
bool ReadFolder(const Place& place, FolderListing& listing, bool keep_open,
                bool first_read_only) {
  const int folder_fd = openat(place.folder, place.name,
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (folder_fd < 0) {
    listing.error_code = static_cast<std::uint32_t>(errno);
    return false;
  }
  if (!ReadFolderId(folder_fd, listing.id)) {
    listing.error_code = static_cast<std::uint32_t>(errno);
    close(folder_fd);
    return false;
  }
  listing.more_to_read = ReadEntries(folder_fd, listing, first_read_only);
  if (keep_open) {
    listing.handle = folder_fd;
  } else {
    CloseSoon(folder_fd);
  }
  return true;
}

#else

// Plain POSIX reads a folder through a DIR, which owns its descriptor: no
// folder is kept open, and every path is opened whole.
bool ReadFolder(const Place& place, FolderListing& listing, bool /*keep_open*/,
                bool /*first_read_only*/) {
  DIR* const folder = place.folder == AT_FDCWD ? opendir(place.name) : nullptr;
  if (folder == nullptr) {
    listing.error_code = static_cast<std::uint32_t>(errno);
    return false;
  }
  const int folder_fd = dirfd(folder);
  if (!ReadFolderId(folder_fd, listing.id)) {
    listing.error_code = static_cast<std::uint32_t>(errno);
    closedir(folder);
    return false;
  }
  // readdir tells its end from an error part way only by errno, which it
  // leaves alone at the end.
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(folder);
    if (entry == nullptr) {
      if (errno != 0) listing.error_code = static_cast<std::uint32_t>(errno);
      break;
    }
#ifdef DT_UNKNOWN
    AddEntry(folder_fd, entry->d_name, TypeOf(entry->d_type), listing);
#else
    // No type in the folder record on this system: every entry is asked.
    AddEntry(folder_fd, entry->d_name, EntryType::kAskTheFile, listing);
#endif
  }
  closedir(folder);
  return true;
}

#endif

}  // namespace

bool ListFolder(const char* path, FolderListing& listing, std::intptr_t in_folder,
                bool keep_open, bool first_part) {
  listing.names.clear();
  listing.entries.clear();
  listing.error_code = 0;
  listing.handle = -1;
  listing.more_to_read = false;
  return ReadFolder(PlaceOf(path, in_folder), listing, keep_open, keep_open && first_part);
}

void ListRestOfFolder(std::intptr_t handle, FolderListing& listing) {
#if ARTPEEL_HAVE_GETDENTS64
  ReadEntries(static_cast<int>(handle), listing, false);
#else
  static_cast<void>(handle);
  static_cast<void>(listing);
#endif
}

void CloseFolder(std::intptr_t handle) {
  if (handle >= 0) CloseSoon(static_cast<int>(handle));
}

bool ListFolderAtItsTurn(const char* path, FolderListing& listing, std::intptr_t in_folder,
                         bool keep_open, bool first_part) {
  return ListFolder(path, listing, in_folder, keep_open, first_part);
}

std::string AbsolutePath(const char* path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  // "" names the current directory itself; the root's path already ends in
  // the separator.
  std::string absolute = cwd;
  if (path[0] != '\0' && absolute.back() != kPathSeparator) absolute += kPathSeparator;
  absolute += path;
  return absolute;
}

}  // namespace artpeel::platform
