// POSIX implementation of the image writer. An image appears under its name
// only once it is complete. Where the file system has unnamed files (O_TMPFILE)
// the image is written into one and linked in under its name; a name that is
// taken, or a file system without unnamed files, takes a temporary name beside
// it that is renamed over the name. Making, renaming and removing the
// temporary name, and putting the image under its name with its report line,
// are steps that a run ended from outside never cuts in two (run_output.h,
// run_ending_posix.cpp); the one temporary name that may exist is noted where
// the process that supervises the run (supervisor_posix.cpp) can read it too.
// Kept apart from the rest of the layer so that a test build can put an
// in-memory writer in its place at link time.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#if ARTPEEL_HAVE_SENDFILE
#include <sys/sendfile.h>
#endif

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/close_soon_posix.h"
#include "platform/platform.h"
#include "platform/run_ending_posix.h"
#include "platform/run_output.h"

namespace artpeel::platform {

namespace {

// One step of the writer (run_output.h) for as long as the object lives.
struct InStep {
  InStep() { EnterStep(); }
  ~InStep() { LeaveStep(); }
  InStep(const InStep&) = delete;
  InStep& operator=(const InStep&) = delete;
};

char* TemporaryName() { return Notes().temporary_name; }

void RemoveTemporaryNameInStep() {
  const InStep step;
  unlink(TemporaryName());
  ArmTemporaryName(false);
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
// in the ending notes.
int MakeTemporaryName(const char* name, int (*make)(const char* temp_name, int fd), int fd) {
  const InStep step;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(TemporaryName(), PATH_MAX, ".%s.%010llx.part", name,
                                     RandomDigits());
    if (length < 0 || length >= PATH_MAX) {
      errno = ENAMETOOLONG;
      break;
    }
    // Known to the ending before it can exist, so that the name never exists
    // unknown to it.
    ArmTemporaryName(true);
    const int made = make(TemporaryName(), fd);
    if (made >= 0) return made;
    const int error = errno;
    ArmTemporaryName(false);
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
WriteStatus WriteAll(int fd, const unsigned char* data, std::uint64_t size) {
  // Linux moves at most about 2 GiB per call; smaller steps are no slower.
  constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
    const ssize_t written = write(fd, data + done, static_cast<std::size_t>(chunk));
    if (written < 0 && errno == EINTR) continue;
    // Bytes of a mapping whose pages were lost (the file cut short under it)
    // fail with EFAULT, never a fault: the source was cut.
    if (written < 0 && errno == EFAULT) return WriteStatus::kSourceCut;
    if (written <= 0) return WriteStatus::kWriteFailed;
    done += static_cast<std::uint64_t>(written);
  }
  return WriteStatus::kWritten;
}

#if ARTPEEL_HAVE_SENDFILE
// Copies `size` bytes of the file `source` from `offset` on to `fd` inside the
// kernel. Reading them through the cache file's mapping instead would map
// every page of the image into the process, and taking those pages out of the
// process again when the cache file is let go costs more than the copy itself.
// kUnavailable when the system cannot copy between these two files.
enum class CopyResult { kCopied, kFailed, kSourceEnded, kUnavailable };

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
    if (copied == 0) return CopyResult::kSourceEnded;
    if (copied < 0) return CopyResult::kFailed;
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
WriteStatus WriteImage(int fd, const ImageBytes& image) {
#if ARTPEEL_HAVE_SENDFILE
  if (image.source >= 0 && image.size > 0) {
    switch (CopyFromFile(fd, image.source, image.offset, image.size)) {
      case CopyResult::kCopied:
        return WriteStatus::kWritten;
      case CopyResult::kFailed:
        return WriteStatus::kWriteFailed;
      case CopyResult::kSourceEnded:
        return WriteStatus::kSourceCut;
      case CopyResult::kUnavailable:
        break;
    }
  }
#endif
  return WriteAll(fd, image.data, image.size);
}

// Puts the file under the temporary name in place of `name` when it is
// complete (`written`), `written_line` joining the report in the same step;
// otherwise removes the temporary name, and `name` stays as it was.
WriteStatus RenameTemporaryOver(const char* name, WriteStatus written,
                                std::string_view written_line) {
  if (written != WriteStatus::kWritten) {
    RemoveTemporaryNameInStep();
    return written;
  }
  // rename replaces whatever sits at `name` (a link included) without writing
  // through it, and never leaves a half-written file under that name.
  const InStep step;
  const bool renamed = rename(TemporaryName(), name) == 0;
  if (!renamed) unlink(TemporaryName());
  ArmTemporaryName(false);
  if (renamed) AppendToReport(written_line);
  return renamed ? WriteStatus::kWritten : WriteStatus::kCreateFailed;
}

// Writes the image under a temporary name and renames it over `name`.
WriteStatus WriteNamedThenRename(const char* name, const ImageBytes& image,
                                 std::string_view written_line) {
  const int fd = MakeTemporaryName(name, CreateNamedFile, -1);
  if (fd < 0) return WriteStatus::kCreateFailed;
  const WriteStatus written = WriteImage(fd, image);
  // A delayed write error can surface only at close.
  const bool closed = close(fd) == 0;
  return RenameTemporaryOver(name, closed ? written : WriteStatus::kWriteFailed, written_line);
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
                               std::intptr_t source_handle, std::uint64_t source_offset,
                               std::string_view written_line) {
  const ImageBytes image{data, size, static_cast<int>(source_handle), source_offset};
  MakeRoomInReport(written_line.size());
  // The thread that writes the images lets go of the most descriptors.
  BatchClosesOnThisThread();
#if ARTPEEL_HAVE_O_TMPFILE
  // The unnamed file vanishes with its descriptor, however the run ends. Mode
  // 0666: the umask gives it a new file's usual permissions.
  const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    const WriteStatus written = WriteImage(fd, image);
    if (written != WriteStatus::kWritten) {
      close(fd);
      return written;
    }
    int error = 0;
    {
      const InStep step;
      if (LinkUnnamedFile(name, fd) == 0) {
        // Close errors are delayed write errors: the image under the name is
        // not the whole of it. Where there can be none, the close waits for
        // the next few.
        if (ClosingCannotFail()) {
          CloseSoon(fd);
        } else if (close(fd) != 0) {
          unlink(name);
          return WriteStatus::kWriteFailed;
        }
        AppendToReport(written_line);
        return WriteStatus::kWritten;
      }
      error = errno;
    }
    if (error == EEXIST) {
      // The name is taken: link a temporary name and rename that over it.
      if (MakeTemporaryName(name, LinkUnnamedFile, fd) >= 0) {
        return RenameTemporaryOver(
            name, close(fd) == 0 ? WriteStatus::kWritten : WriteStatus::kWriteFailed,
            written_line);
      }
      error = errno;
    }
    close(fd);
    if (!CannotLinkHere(error)) return WriteStatus::kCreateFailed;
    // The named way, below, reports what holds.
  }
  // File systems without unnamed files refuse O_TMPFILE (EOPNOTSUPP, or EISDIR
  // on kernels older than it).
#endif
  return WriteNamedThenRename(name, image, written_line);
}

}  // namespace artpeel::platform
