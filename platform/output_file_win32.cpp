// Win32 implementation of the image writer: each image goes to a temporary file
// beside its name and is moved into place only when complete. The temporary file
// is marked for deletion while it is written, so the system removes it however
// the run ends (Ctrl+C, Ctrl+Break, a closed console, being killed); the mark is
// taken back only just before the file is renamed into place. The report goes
// out from here too (run_output.h), and a run ended from outside ends here.
// Kept apart from the rest of the layer so that a test build can put an
// in-memory writer in its place at link time.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/held_file_win32.h"
#include "platform/platform.h"
#include "platform/run_output.h"

namespace artpeel::platform {

namespace {

// A temporary file goes without its deletion mark for two short steps: between
// its creation and its marking, and between taking the mark back and the
// rename, which puts the image under its name with its report line. These are
// steps that a run ended from outside never cuts in two (run_output.h), as is
// writing the report out. A console control event (Ctrl+C, Ctrl+Break, a
// closed console) ends the run from a thread of its own: the working thread
// ends it at its next step or report line, or, where it does not come within a
// moment, this thread does once no step is under way.

[[noreturn]] void EndProcess() {
  // The default action would end the process by ExitProcess, whose C runtime
  // cleanup runs while the working thread and the helpers go on. Ended here,
  // with the default action's exit code, the run ends as when a signal ends a
  // POSIX run.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  for (;;) Sleep(INFINITE);
}

BOOL WINAPI EndRunOnConsoleEvent(DWORD /*event*/) {
  // A second event finds the run ending already: the first ends it.
  if (!BeginEnding()) AwaitRunEnd();
  switch (TakeEndingFromWorkingThread()) {
    case EndingState::kBetweenSteps:
      EndRunBetweenSteps();
    case EndingState::kWithWorkingThread:
      // Only the working thread ends the process now, whatever holds it.
      AwaitRunEnd();
    case EndingState::kInStep:
      break;
  }
  // A step held by a share that stopped answering: the temporary file is
  // marked but for a moment, and the report's last lines cannot be told from
  // those under way.
  EndProgressLineOnInterrupt();
  RestoreConsole();
  EndProcess();
}

// One step of the writer for as long as the object lives.
struct InStep {
  InStep() { EnterStep(); }
  ~InStep() { LeaveStep(); }
  InStep(const InStep&) = delete;
  InStep& operator=(const InStep&) = delete;
};

// Writes all of [data, data + size), retrying short writes. Bytes of a view
// whose pages cannot be read (the file cut short or its share gone under it)
// fail as a buffer that cannot be read (ERROR_NOACCESS; under Wine
// ERROR_INVALID_USER_BUFFER): the source was cut.
WriteStatus WriteAll(HANDLE handle, const unsigned char* data, std::uint64_t size) {
  // WriteFile takes a DWORD count; 1 GiB steps fit it and are no slower.
  constexpr std::uint64_t kMaxChunk = std::uint64_t{1} << 30;
  std::uint64_t done = 0;
  while (done < size) {
    const std::uint64_t chunk = size - done < kMaxChunk ? size - done : kMaxChunk;
    DWORD written = 0;
    if (!WriteFile(handle, data + done, static_cast<DWORD>(chunk), &written, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_NOACCESS || error == ERROR_INVALID_USER_BUFFER
                 ? WriteStatus::kSourceCut
                 : WriteStatus::kWriteFailed;
    }
    if (written == 0) return WriteStatus::kWriteFailed;
    done += written;
  }
  return WriteStatus::kWritten;
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

// Renames the complete temporary file over `name`, unmarked in the same step,
// `written_line` joining the report in it.
// A rename over a name that another process holds open fails with
// ERROR_ACCESS_DENIED (or a sharing violation): another run writing the same
// name into this folder holds it for the moment between its own rename and
// its close, a virus scanner while it looks at the image. It is tried again
// for about a second (RetryWhileHeld). A name held longer, or taken by a
// folder, stays as it is and fails.
bool MoveIntoPlace(HANDLE handle, bool marked, const char* name, std::string_view written_line) {
  const DWORD error = RetryWhileHeld(
      [&] {
        const InStep step;
        const bool renamed =
            (!marked || MarkForDeletion(handle, false)) && RenameOver(handle, name);
        const DWORD failure = renamed ? NO_ERROR : GetLastError();
        if (!renamed) MarkForDeletion(handle, true);
        if (renamed) AppendToReport(written_line);
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

void InstallInterruptCleanup() { SetConsoleCtrlHandler(EndRunOnConsoleEvent, TRUE); }

// The temporary file is marked for deletion, and the system removes it however
// the run ends.
void RemoveTemporaryName() {}

void AwaitRunEnd() {
  for (;;) Sleep(INFINITE);
}

void SleepAMillisecond() { Sleep(1); }

void EndRunBetweenSteps() {
  EndProgressLineOnInterrupt();
  WriteOutReport();
  // The console gets its own code page back, as at the end of a whole run.
  RestoreConsole();
  EndProcess();
}

std::uint32_t WriteStandardOutput(const char* bytes, std::size_t size) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
    if (!WriteFile(handle, bytes, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes += written;
    size -= written;
  }
  return 0;
}

// A console gets the report after each cache file (FlushConsoleReport).
bool ReportGoesToTerminal() { return false; }

// The bytes are always written from the mapped view: Windows keeps a mapped
// view's pages in the process without the cost POSIX systems have.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t /*source_handle*/, std::uint64_t /*source_offset*/,
                               std::string_view written_line) {
  MakeRoomInReport(written_line.size());
  char temp_name[MAX_PATH];
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool marked = false;
  {
    const InStep step;
    handle = CreateTemporaryFile(name, temp_name);
    // Where the file system cannot mark it, the file is still removed on every
    // failure below; only an interrupted run would leave it.
    marked = handle != INVALID_HANDLE_VALUE && MarkForDeletion(handle, true);
  }
  if (handle == INVALID_HANDLE_VALUE) return WriteStatus::kCreateFailed;
  const WriteStatus written = WriteAll(handle, data, size);
  if (written != WriteStatus::kWritten) {
    Discard(handle, temp_name);
    return written;
  }
  // Complete: unmarked and renamed by its handle in one step.
  if (!MoveIntoPlace(handle, marked, name, written_line)) {
    Discard(handle, temp_name);
    return WriteStatus::kCreateFailed;
  }
  CloseHandle(handle);
  return WriteStatus::kWritten;
}

}  // namespace artpeel::platform
