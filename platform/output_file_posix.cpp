// POSIX implementation of the image writer. An image appears under its name
// only once it is complete. Where the file system has unnamed files (O_TMPFILE)
// the image is written into one and linked in under its name; a name that is
// taken, or a file system without unnamed files, takes a temporary name beside
// it that is renamed over the name. A run ended by SIGHUP, SIGINT, SIGPIPE,
// SIGQUIT or SIGTERM removes the one temporary name that may exist at that
// moment, ends a progress line left open, then dies by that signal. Kept apart
// from the rest of the layer so that a test build can put an in-memory writer
// in its place at link time.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>
#if ARTPEEL_HAVE_SENDFILE
#include <sys/sendfile.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// SIGPIPE, from a reader of the report that has gone, never comes while a
// temporary name exists (the report is written between images), but it ends a
// progress line like the others.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGQUIT, SIGTERM};

// The temporary name that may exist at this moment, if `armed`: what the
// signal handler removes. It is the writer's one piece of state outside its
// frames, since a handler learns its context from nothing else.
struct TemporaryName {
  char name[PATH_MAX];
  volatile std::sig_atomic_t armed;
};
TemporaryName temporary_name = {};

void RemoveTemporaryNameAndDie(int signal_number) {
  if (temporary_name.armed) unlink(temporary_name.name);
  // The shell's prompt then starts on a line of its own.
  EndProgressLineOnInterrupt();
  // Raised again under its default action, the signal ends the process as soon
  // as this handler returns (it is blocked until then), and whoever started the
  // run sees it end by that signal.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Keeps the compiler from moving the writes before it past those after it, as
// a signal handler of this thread sees them: std::atomic_signal_fence, whose
// <atomic> libstdc++ cannot compile where the C library's GNU extensions are
// hidden, as in a build held to plain POSIX.
inline void SignalFence() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

sigset_t EndingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : kEndingSignals) sigaddset(&signals, signal_number);
  return signals;
}

// Takes note that the temporary name is gone. Only once it is: a signal in
// between finds nothing to remove.
void ForgetTemporaryName() {
  SignalFence();
  temporary_name.armed = 0;
}

void RemoveTemporaryName() {
  unlink(temporary_name.name);
  ForgetTemporaryName();
}

// Makes a file beside `name` under a fresh temporary name: `make` creates or
// links it under the name it is given, returning a negative number with errno
// set when that fails; names that are taken (a leftover of a killed run, a run
// beside this one) are passed over. Returns what `make` returned; the name is
// in temporary_name.
int MakeTemporaryName(const char* name, int (*make)(const char* temp_name, int fd), int fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(temporary_name.name, sizeof temporary_name.name,
                                     ".%s.%d.part", name, attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary_name.name) break;
    // Known to the handler before it can exist, so that the name never exists
    // unknown to it. A name found taken is let go at once; a signal in that
    // instant removes the file that holds it, which is no image: a leftover, or
    // the temporary file of a run beside this one, which then reports that it
    // could not create that image.
    SignalFence();
    temporary_name.armed = 1;
    const int made = make(temporary_name.name, fd);
    if (made >= 0) return made;
    const int error = errno;
    ForgetTemporaryName();
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
  if (rename(temporary_name.name, name) != 0) {
    RemoveTemporaryName();
    return WriteStatus::kCreateFailed;
  }
  ForgetTemporaryName();
  return WriteStatus::kWritten;
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
  struct sigaction action = {};
  action.sa_handler = RemoveTemporaryNameAndDie;
  // With every ending signal blocked while it runs, the handler runs once.
  action.sa_mask = EndingSignals();
  for (const int signal_number : kEndingSignals) {
    struct sigaction previous;
    // A signal the run was started with ignored (nohup, a background job of a
    // script) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
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
    if (LinkUnnamedFile(name, fd) == 0) {
      // Close errors are delayed write errors: the image under the name is not
      // the whole of it.
      if (close(fd) == 0) return WriteStatus::kWritten;
      unlink(name);
      return WriteStatus::kWriteFailed;
    }
    if (errno == EEXIST) {
      // The name is taken: link a temporary name and rename that over it.
      if (MakeTemporaryName(name, LinkUnnamedFile, fd) < 0) {
        close(fd);
        return WriteStatus::kCreateFailed;
      }
      return RenameTemporaryOver(name, close(fd) == 0);
    }
    // The unnamed file cannot be linked (no /proc on an older kernel, or the
    // name cannot be made): the named way reports what holds.
    close(fd);
  }
  // File systems without unnamed files refuse O_TMPFILE (EOPNOTSUPP, or EISDIR
  // on kernels older than it).
#endif
  return WriteNamedThenRename(name, image);
}

}  // namespace artpeel::platform
