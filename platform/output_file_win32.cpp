// Win32 implementation of the image writer: each image goes to a temporary file
// beside its name and is moved into place only when complete. The temporary file
// is marked for deletion while it is written, so the system removes it however
// the run ends (Ctrl+C, Ctrl+Break, a closed console, being killed); the mark is
// taken back only just before the file is renamed into place. Kept apart from
// the rest of the layer so that a test build can put an in-memory writer in its
// place at link time.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/held_file_win32.h"
#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// A temporary file goes without its deletion mark for two short steps: between
// its creation and its marking, and between taking the mark back and the
// rename. A console control event (Ctrl+C, Ctrl+Break, a closed console) ends
// the run from a thread of its own; its handler waits for the writer to leave
// such a step, and once the run is ending the writer enters none. The two flags
// are the writer's only state outside its frames, since the handler learns its
// context from nothing else.
std::atomic<bool> run_ending{false};
std::atomic<bool> in_unmarked_step{false};

BOOL WINAPI AwaitUnmarkedStep(DWORD /*event*/) {
  run_ending = true;
  // A current folder on a share that stopped answering holds the writer in
  // its step no longer than half a second: the run ends within a second.
  for (int waits = 0; in_unmarked_step && waits < 500; ++waits) Sleep(1);
  EndProgressLineOnInterrupt();
  // The console gets its own code page back, as at the end of a whole run.
  RestoreConsole();
  // The default action would end the process by ExitProcess, whose C runtime
  // cleanup flushes standard output from this thread while the working thread
  // may be writing the same buffer: a line of the report could go out twice.
  // Ended here, with the default action's exit code, the report keeps what
  // reached the file, as when a signal ends a POSIX run.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return FALSE;
}

void EnterUnmarkedStep() {
  in_unmarked_step = true;
  if (!run_ending) return;
  // The handler has run and the process is being ended: wait for that.
  in_unmarked_step = false;
  for (;;) Sleep(INFINITE);
}

void LeaveUnmarkedStep() { in_unmarked_step = false; }

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

// Creates a fresh temporary file beside `name`, unshared, with normal attributes,
// open for deletion and renaming as well as for writing.
HANDLE CreateTemporaryFile(const char* name, char (&temp_name)[MAX_PATH]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(temp_name, sizeof temp_name, ".%s.%lu-%d.part", name,
                                     static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temp_name) break;
    const HANDLE handle = CreateFileA(temp_name, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return handle;
  }
  return INVALID_HANDLE_VALUE;
}

// Marks the open file to be deleted when its handle closes, or takes the mark back.
bool MarkForDeletion(HANDLE handle, bool marked) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// Renames the open file to `name` in its own folder, replacing a file of that
// name. It fails, leaving `name` as it was, when `name` is a folder or another
// process holds it open.
bool RenameOver(HANDLE handle, const char* name) {
  wchar_t wide_name[MAX_PATH];
  const int length = MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, MAX_PATH);
  if (length <= 0) return false;  // counts the terminator
  alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + sizeof wide_name];
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  const auto name_bytes = static_cast<std::size_t>(length) * sizeof(wchar_t);
  info->FileNameLength = static_cast<DWORD>(name_bytes - sizeof(wchar_t));
  std::memcpy(info->FileName, wide_name, name_bytes);
  return SetFileInformationByHandle(handle, FileRenameInfo, info, sizeof buffer) != 0;
}

// Renames the complete temporary file over `name`, unmarked in the same step.
// A rename over a name that another process holds open fails with
// ERROR_ACCESS_DENIED (or a sharing violation): another run writing the same
// name into this folder holds it for the moment between its own rename and
// its close, a virus scanner while it looks at the image. It is tried again
// for about a second (RetryWhileHeld). A name held longer, or taken by a
// folder, stays as it is and fails.
bool MoveIntoPlace(HANDLE handle, bool marked, const char* name) {
  const DWORD error = RetryWhileHeld(
      [&] {
        EnterUnmarkedStep();
        const bool renamed =
            (!marked || MarkForDeletion(handle, false)) && RenameOver(handle, name);
        const DWORD failure = renamed ? NO_ERROR : GetLastError();
        if (!renamed) MarkForDeletion(handle, true);
        LeaveUnmarkedStep();
        return failure;
      },
      [&](DWORD failure) {
        const DWORD attributes = GetFileAttributesA(name);
        return HeldByAnotherProcess(failure) ||
               (failure == ERROR_ACCESS_DENIED && (attributes == INVALID_FILE_ATTRIBUTES ||
                                                   (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0));
      });
  return error == NO_ERROR;
}

// Closes and removes the temporary file, marked or not.
void Discard(HANDLE handle, const char* temp_name) {
  MarkForDeletion(handle, true);
  CloseHandle(handle);
  DeleteFileA(temp_name);
}

}  // namespace

void InstallInterruptCleanup() { SetConsoleCtrlHandler(AwaitUnmarkedStep, TRUE); }

// The bytes are always written from the mapped view: Windows keeps a mapped
// view's pages in the process without the cost POSIX systems have.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t /*source_handle*/, std::uint64_t /*source_offset*/) {
  char temp_name[MAX_PATH];
  EnterUnmarkedStep();
  const HANDLE handle = CreateTemporaryFile(name, temp_name);
  // Where the file system cannot mark it, the file is still removed on every
  // failure below; only an interrupted run would leave it.
  const bool marked = handle != INVALID_HANDLE_VALUE && MarkForDeletion(handle, true);
  LeaveUnmarkedStep();
  if (handle == INVALID_HANDLE_VALUE) return WriteStatus::kCreateFailed;
  if (!WriteAll(handle, data, size)) {
    Discard(handle, temp_name);
    return WriteStatus::kWriteFailed;
  }
  // Complete: unmarked and renamed by its handle in one step.
  if (!MoveIntoPlace(handle, marked, name)) {
    Discard(handle, temp_name);
    return WriteStatus::kCreateFailed;
  }
  CloseHandle(handle);
  return WriteStatus::kWritten;
}

}  // namespace artpeel::platform
