// POSIX implementation of the image writer: each image goes to a temporary file
// beside its name and is renamed into place only when complete. Kept apart from
// the rest of the layer so that a test build can put an in-memory writer in its
// place at link time.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#if ARTPEEL_HAVE_SENDFILE
#include <sys/sendfile.h>
#endif

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

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

// Creates a fresh temporary file beside `name`. Its mode 0666 lets the umask give
// the finished image a new file's usual permissions. O_EXCL makes each name
// this run's own, so it needs no process id (a system call per image): a name
// left by a killed run or taken by a run beside this one is passed over.
int CreateTemporaryFile(const char* name, char (&temp_name)[PATH_MAX]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length =
        std::snprintf(temp_name, sizeof temp_name, ".%s.%d.part", name, attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temp_name) return -1;
    const int fd = open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t source_handle, std::uint64_t source_offset) {
  char temp_name[PATH_MAX];
  const int fd = CreateTemporaryFile(name, temp_name);
  if (fd < 0) return WriteStatus::kCreateFailed;
#if ARTPEEL_HAVE_SENDFILE
  CopyResult copy = CopyResult::kUnavailable;
  if (source_handle >= 0 && size > 0) {
    copy = CopyFromFile(fd, static_cast<int>(source_handle), source_offset, size);
  }
  const bool written =
      copy == CopyResult::kUnavailable ? WriteAll(fd, data, size) : copy == CopyResult::kCopied;
#else
  static_cast<void>(source_handle);
  static_cast<void>(source_offset);
  const bool written = WriteAll(fd, data, size);
#endif
  // A delayed write error can surface only at close.
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    unlink(temp_name);
    return WriteStatus::kWriteFailed;
  }
  // rename replaces whatever sits at `name` (a link included) without writing
  // through it, and never leaves a half-written file under that name.
  if (rename(temp_name, name) != 0) {
    unlink(temp_name);
    return WriteStatus::kCreateFailed;
  }
  return WriteStatus::kWritten;
}

}  // namespace artpeel::platform
