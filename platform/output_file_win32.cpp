// Win32 implementation of the image writer: each image goes to a temporary file
// beside its name and is moved into place only when complete. Kept apart from
// the rest of the layer so that a test build can put an in-memory writer in its
// place at link time.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// Writes all of [data, data + size), retrying short writes.
bool WriteAll(HANDLE handle, const unsigned char* data, std::uint64_t size) {
  // WriteFile takes a DWORD count; 1 GiB steps fit it and are no slower.
  constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
    DWORD written = 0;
    if (!WriteFile(handle, data + done, static_cast<DWORD>(chunk), &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// Creates a fresh temporary file beside `name`, unshared, with normal attributes.
HANDLE CreateTemporaryFile(const char* name, char (&temp_name)[MAX_PATH]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(temp_name, sizeof temp_name, ".%s.%lu-%d.part", name,
                                     static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temp_name) break;
    const HANDLE handle = CreateFileA(temp_name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return handle;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

// The bytes are always written from the mapped view: Windows keeps a mapped
// view's pages in the process without the cost POSIX systems have.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t /*source_handle*/, std::uint64_t /*source_offset*/) {
  char temp_name[MAX_PATH];
  const HANDLE handle = CreateTemporaryFile(name, temp_name);
  if (handle == INVALID_HANDLE_VALUE) return WriteStatus::kCreateFailed;
  const bool written = WriteAll(handle, data, size);
  const bool closed = CloseHandle(handle) != 0;
  if (!written || !closed) {
    DeleteFileA(temp_name);
    return WriteStatus::kWriteFailed;
  }
  // Replaces `name` only now that the image is complete. It fails, leaving
  // `name` as it was, when `name` is a folder or another process holds it open.
  if (!MoveFileExA(temp_name, name, MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(temp_name);
    return WriteStatus::kCreateFailed;
  }
  return WriteStatus::kWritten;
}

}  // namespace artpeel::platform
