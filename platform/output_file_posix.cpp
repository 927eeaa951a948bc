// POSIX implementation of the image writer: each image goes to a temporary file
// beside its name and is renamed into place only when complete. Kept apart from
// the rest of the layer so that a test build can put an in-memory writer in its
// place at link time.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

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

WriteStatus WriteFileReplacing(const char* name, const unsigned char* data,
                               std::uint64_t size) {
  char temp_name[PATH_MAX];
  const int fd = CreateTemporaryFile(name, temp_name);
  if (fd < 0) return WriteStatus::kCreateFailed;
  const bool written = WriteAll(fd, data, size);
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
