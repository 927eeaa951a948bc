// POSIX implementation of the image writer. An image appears under its name
// only once it is complete. Where the file system has unnamed files (O_TMPFILE)
// the image is written into one and linked in under its name; a name that is
// taken, or a file system without unnamed files, takes a temporary name beside
// it that is renamed over the name. A run ended by SIGHUP, SIGINT, SIGQUIT or
// SIGTERM removes the one temporary name that may exist at that moment, ends a
// progress line left open, then dies by that signal; SIGPIPE ends a progress
// line and the run. What the ending needs is noted where the process that
// supervises the run (supervisor_posix.cpp) can read it too. Kept apart from
// the rest of the layer so that a test build can put an in-memory writer in
// its place at link time.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#if ARTPEEL_HAVE_SENDFILE
#include <sys/sendfile.h>
#endif

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/ending_signals_posix.h"
#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// The ending signals (kEndingSignals) are taken by a thread of their own
// (TakeEndingSignals), not by a handler on whichever thread they land on: a
// thread blocked in the kernel on a share that stopped answering runs no
// handler until the share answers, and only a signal under its default action
// ends such a wait, with every thread of the process.

// The temporary name that may exist at this moment, if `armed`: what the
// thread that takes the ending signals removes. It is the writer's one piece
// of state outside its frames. The writer holds `lock` while it makes, renames
// or removes the name; the ending thread takes it and never lets it go, so no
// name is made once the run is ending. A supervised run keeps it in memory
// shared with its supervisor, with how far the ending has got.
struct TemporaryName {
  char name[PATH_MAX];
  bool armed;  // read and written with the __atomic builtins, as the two below
  pthread_mutex_t lock;
  int ending_signal;  // 0 until the run or its supervisor claims the ending
  bool cleaned_up;    // the run has done all it does before it dies by that signal
  int finished;       // 1 + the exit status, once the run has written all it writes
};
TemporaryName own_temporary_name = {{}, false, PTHREAD_MUTEX_INITIALIZER, 0, false, 0};
TemporaryName* temporary_name = &own_temporary_name;

// The POSIX layer is built with the C library's GNU extensions hidden, as on
// macOS, and libstdc++'s <atomic> and <mutex> need them: it uses the compiler's
// atomics and pthreads directly.
bool Armed() { return __atomic_load_n(&temporary_name->armed, __ATOMIC_SEQ_CST); }
void SetArmed(bool armed) { __atomic_store_n(&temporary_name->armed, armed, __ATOMIC_SEQ_CST); }

struct HoldingName {
  HoldingName() { pthread_mutex_lock(&temporary_name->lock); }
  ~HoldingName() { pthread_mutex_unlock(&temporary_name->lock); }
  HoldingName(const HoldingName&) = delete;
  HoldingName& operator=(const HoldingName&) = delete;
};

// Takes the writer's lock for the ending, waiting at most half a second: a
// current folder on a share that stopped answering holds it no longer. False
// when the writer still holds it.
bool TakeLockForEnding() {
  const struct timespec millisecond = {0, 1000000};
  for (int waits = 0; waits < 500; ++waits) {
    if (pthread_mutex_trylock(&temporary_name->lock) == 0) return true;
    nanosleep(&millisecond, nullptr);
  }
  return false;
}

// The signals the ending thread waits for; set before it starts.
sigset_t ending_signals;

// Ends the run by `signal_number` once its temporary name is gone.
[[noreturn]] void EndRun(int signal_number) {
  // When this thread claims the ending, every ending signal has its default
  // action from here on and reaches this thread: a second one ends the run at
  // once, also while the removal below waits on a share that stopped
  // answering. When the supervisor claimed it first, passing the signal on, it
  // may come a second time (the terminal sends it to both): the ending signals
  // stay blocked, and the supervisor ends a run that does not end in time.
  if (ClaimRunEnding(signal_number)) {
    for (const int ending : kEndingSignals) {
      if (sigismember(&ending_signals, ending) == 1) signal(ending, SIG_DFL);
    }
    pthread_sigmask(SIG_UNBLOCK, &ending_signals, nullptr);
  }
  // A writer that keeps the lock is making, renaming or removing the name
  // itself: the name is left to it.
  if (TakeLockForEnding() && Armed()) {
    unlink(temporary_name->name);
    SetArmed(false);
  }
  // The shell's prompt then starts on a line of its own.
  EndProgressLineOnInterrupt();
  __atomic_store_n(&temporary_name->cleaned_up, true, __ATOMIC_SEQ_CST);
  DieBySignal(signal_number);
}

void* TakeEndingSignals(void* /*unused*/) {
  int signal_number = 0;
  while (sigwait(&ending_signals, &signal_number) != 0) {
  }
  EndRun(signal_number);
}

// SIGPIPE comes from a write to a pipe whose reader has gone, on the thread
// that wrote: the report's, between images, when no temporary name exists.
void EndProgressLineAndDie(int signal_number) {
  EndProgressLineOnInterrupt();
  // Raised again under its default action, the signal ends the process as soon
  // as this handler returns (it is blocked until then).
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

bool Ignored(int signal_number) {
  struct sigaction previous;
  return sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN;
}

void RemoveTemporaryName() {
  const HoldingName holding;
  unlink(temporary_name->name);
  SetArmed(false);
}

// Fresh random digits for each temporary name, so that names left by killed
// runs cannot use them all up, as mkstemp makes its names: splitmix64, seeded
// from the clock and the process id, which no two runs beside each other share.
unsigned long long RandomDigits() {
  static std::uint64_t state = 0;
  if (state == 0) {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    state = static_cast<std::uint64_t>(now.tv_sec) * 1000000007u +
            static_cast<std::uint64_t>(now.tv_nsec) + (static_cast<std::uint64_t>(getpid()) << 40);
  }
  std::uint64_t value = (state += 0x9E3779B97F4A7C15u);
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
  return (value ^ (value >> 31)) & 0xFFFFFFFFFFull;
}

// Makes a file beside `name` under a fresh temporary name: `make` creates or
// links it under the name it is given, returning a negative number with errno
// set when that fails; names that are taken (a leftover of a killed run, a run
// beside this one) are passed over. Returns what `make` returned; the name is
// in temporary_name.
int MakeTemporaryName(const char* name, int (*make)(const char* temp_name, int fd), int fd) {
  const HoldingName holding;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(temporary_name->name, sizeof temporary_name->name,
                                     ".%s.%010llx.part", name, RandomDigits());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary_name->name) {
      errno = ENAMETOOLONG;
      break;
    }
    // Known to the ending thread before it can exist, so that the name never
    // exists unknown to it.
    SetArmed(true);
    const int made = make(temporary_name->name, fd);
    if (made >= 0) return made;
    const int error = errno;
    SetArmed(false);
    errno = error;
    if (error != EEXIST) break;
  }
  return -1;
}

int CreateNamedFile(const char* temp_name, int /*unused*/) {
  // Mode 0666 lets the umask give the finished image a new file's usual
  // permissions; O_NOFOLLOW and O_EXCL never write through a link.
  return open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
}

// Writes all of [data, data + size), retrying short writes.
bool WriteAll(int fd, const unsigned char* data, std::uint64_t size) {
  // Linux moves at most about 2 GiB per call; smaller steps are no slower.
  constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
    const ssize_t written = write(fd, data + done, static_cast<std::size_t>(chunk));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::uint64_t>(written);
  }
  return true;
}

#if ARTPEEL_HAVE_SENDFILE
// Copies `size` bytes of the file `source` from `offset` on to `fd` inside the
// kernel. Reading them through the cache file's mapping instead would map
// every page of the image into the process, and taking those pages out of the
// process again when the cache file is let go costs more than the copy itself.
// kUnavailable when the system cannot copy between these two files.
enum class CopyResult { kCopied, kFailed, kUnavailable };

CopyResult CopyFromFile(int fd, int source, std::uint64_t offset, std::uint64_t size) {
  constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
    off_t position = static_cast<off_t>(offset + done);
    const ssize_t copied = sendfile(fd, source, &position, static_cast<std::size_t>(chunk));
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && done == 0 && (errno == EINVAL || errno == ENOSYS)) {
      return CopyResult::kUnavailable;
    }
    // 0 means the cache file ended early: it was cut short while being read.
    if (copied <= 0) return CopyResult::kFailed;
    done += static_cast<std::uint64_t>(copied);
  }
  return CopyResult::kCopied;
}
#endif

// The bytes of one image: where they are mapped, and the open file and offset
// they come from (source < 0 when they are not a file's).
struct ImageBytes {
  const unsigned char* data;
  std::uint64_t size;
  int source;
  std::uint64_t offset;
};

// Writes the whole image to `fd`: copied from its file by the kernel where it
// can, from the mapping otherwise.
bool WriteImage(int fd, const ImageBytes& image) {
#if ARTPEEL_HAVE_SENDFILE
  if (image.source >= 0 && image.size > 0) {
    const CopyResult copy = CopyFromFile(fd, image.source, image.offset, image.size);
    if (copy != CopyResult::kUnavailable) return copy == CopyResult::kCopied;
  }
#endif
  return WriteAll(fd, image.data, image.size);
}

// Puts the file under the temporary name in place of `name` when it is
// complete; otherwise removes the temporary name, and `name` stays as it was.
WriteStatus RenameTemporaryOver(const char* name, bool complete) {
  if (!complete) {
    RemoveTemporaryName();
    return WriteStatus::kWriteFailed;
  }
  // rename replaces whatever sits at `name` (a link included) without writing
  // through it, and never leaves a half-written file under that name.
  const HoldingName holding;
  const bool renamed = rename(temporary_name->name, name) == 0;
  if (!renamed) unlink(temporary_name->name);
  SetArmed(false);
  return renamed ? WriteStatus::kWritten : WriteStatus::kCreateFailed;
}

// Writes the image under a temporary name and renames it over `name`.
WriteStatus WriteNamedThenRename(const char* name, const ImageBytes& image) {
  const int fd = MakeTemporaryName(name, CreateNamedFile, -1);
  if (fd < 0) return WriteStatus::kCreateFailed;
  const bool written = WriteImage(fd, image);
  // A delayed write error can surface only at close.
  const bool closed = close(fd) == 0;
  return RenameTemporaryOver(name, written && closed);
}

#if ARTPEEL_HAVE_O_TMPFILE

// Gives the unnamed file `fd` the name `target`; fails with EEXIST when the name
// is taken, never replacing it.
int LinkUnnamedFile(const char* target, int fd) {
  // By the descriptor itself where the kernel lets anyone do so (Linux 6.10 on;
  // before, it takes a privilege and fails with ENOENT), else by its /proc name.
  if (linkat(fd, "", AT_FDCWD, target, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT) return -1;
  char proc_name[32];
  std::snprintf(proc_name, sizeof proc_name, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc_name, AT_FDCWD, target, AT_SYMLINK_FOLLOW);
}

#endif

}  // namespace

void InstallInterruptCleanup() {
  sigset_t& ending = ending_signals;
  sigemptyset(&ending);
  for (const int signal_number : kEndingSignals) {
    // A signal the run was started with ignored (nohup, a background job of a
    // script) stays ignored.
    if (!Ignored(signal_number)) sigaddset(&ending, signal_number);
  }
  // Blocked here, before any other thread starts, they are blocked in every
  // thread, and only sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  pthread_t ending_thread;
  if (pthread_create(&ending_thread, nullptr, TakeEndingSignals, nullptr) == 0) {
    pthread_detach(ending_thread);
  } else {
    // No thread to take them: each ends the run from a handler instead, which
    // a thread blocked on a share runs only once the share answers.
    struct sigaction action = {};
    action.sa_handler = [](int signal_number) { EndRun(signal_number); };
    action.sa_mask = ending;
    for (const int signal_number : kEndingSignals) {
      if (sigismember(&ending, signal_number) == 1) sigaction(signal_number, &action, nullptr);
    }
    pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
  }
  if (!Ignored(SIGPIPE)) {
    struct sigaction action = {};
    action.sa_handler = EndProgressLineAndDie;
    sigaction(SIGPIPE, &action, nullptr);
  }
}

bool ShareEndingNotesWithSupervisor() {
  void* page = mmap(nullptr, sizeof(TemporaryName), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return false;
  auto* shared = static_cast<TemporaryName*>(page);  // zeroed: no name, no ending
  if (pthread_mutex_init(&shared->lock, nullptr) != 0) {
    munmap(page, sizeof(TemporaryName));
    return false;
  }
  temporary_name = shared;
  return true;
}

bool ClaimRunEnding(int signal_number) {
  int unclaimed = 0;
  return __atomic_compare_exchange_n(&temporary_name->ending_signal, &unclaimed, signal_number,
                                     false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool RunCleanedUp() { return __atomic_load_n(&temporary_name->cleaned_up, __ATOMIC_SEQ_CST); }

void NoteRunFinished(int status) {
  if (temporary_name == &own_temporary_name) return;  // not supervised
  __atomic_store_n(&temporary_name->finished, 1 + status, __ATOMIC_SEQ_CST);
  // The supervisor hears of it as of the run's end, which a helper held in the
  // kernel may put off.
  kill(getppid(), SIGCHLD);
}

bool RunFinished(int& status) {
  const int finished = __atomic_load_n(&temporary_name->finished, __ATOMIC_SEQ_CST);
  status = finished - 1;
  return finished != 0;
}

const char* TemporaryNameOfRun() { return Armed() ? temporary_name->name : nullptr; }

// Whether linking an unnamed file failed because this system cannot link
// one at all (no hard links on this file system, a security module that
// forbids them, no /proc on an older kernel), rather than because the name
// cannot be made (no room for it, a full quota, a read-only folder), which
// writing the image under a temporary name would meet again.
bool CannotLinkHere(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOENT || error == EXDEV ||
         error == EMLINK || error == EINVAL;
}

WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t source_handle, std::uint64_t source_offset) {
  const ImageBytes image{data, size, static_cast<int>(source_handle), source_offset};
#if ARTPEEL_HAVE_O_TMPFILE
  // The unnamed file vanishes with its descriptor, however the run ends. Mode
  // 0666: the umask gives it a new file's usual permissions.
  const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (!WriteImage(fd, image)) {
      close(fd);
      return WriteStatus::kWriteFailed;
    }
    int linked = LinkUnnamedFile(name, fd);
    if (linked != 0 && errno == EEXIST) {
      // The name is taken: link a temporary name and rename that over it.
      linked = MakeTemporaryName(name, LinkUnnamedFile, fd);
      if (linked >= 0) return RenameTemporaryOver(name, close(fd) == 0);
    }
    if (linked == 0) {
      // Close errors are delayed write errors: the image under the name is not
      // the whole of it.
      if (close(fd) == 0) return WriteStatus::kWritten;
      unlink(name);
      return WriteStatus::kWriteFailed;
    }
    const int error = errno;
    close(fd);
    if (!CannotLinkHere(error)) return WriteStatus::kCreateFailed;
    // The named way, below, reports what holds.
  }
  // File systems without unnamed files refuse O_TMPFILE (EOPNOTSUPP, or EISDIR
  // on kernels older than it).
#endif
  return WriteNamedThenRename(name, image);
}

}  // namespace artpeel::platform
