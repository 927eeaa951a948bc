// Win32 implementation of the operating-system layer. Paths come and go in the
// narrow-character ("A") services' code page, which the program's manifest
// makes UTF-8 where Windows honours it; the walk's folders are searched and its
// files opened through the wide ("W") services, by literal paths (LiteralPath).
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/held_file_win32.h"
#include "platform/run_output.h"

namespace artpeel::platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

}  // namespace

std::size_t MaxPathLength() { return MAX_PATH; }

std::size_t PathLength(std::string_view path) {
  // The narrow services convert a path to UTF-16 before anything else, and the
  // limit applies to what comes out: a path of 260 CJK characters is 780 bytes.
  if (path.empty() || path.size() > INT_MAX) return path.size();
  const int units = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                        nullptr, 0);
  return units > 0 ? static_cast<std::size_t>(units) : path.size();
}

namespace {

// The console output code page found at the start, while it is to be put back;
// 0 otherwise. Atomic, as a console control handler may restore it.
std::atomic<UINT> previous_output_code_page{0};

bool IsConsole(DWORD standard_handle) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(standard_handle), &mode) != 0;
}

}  // namespace

void PrepareProcess() {
  // The C runtime's text mode would turn every "\n" of the report into "\r\n";
  // the report's bytes, and those of the diagnostics, are the same on every
  // platform.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const bool report_on_console = IsConsole(STD_OUTPUT_HANDLE);
  // Names come in the process's code page, UTF-8 under the manifest, and a
  // console shows bytes in its own output code page (the OEM one unless set):
  // it is told to read them as the names come. Redirected, the bytes go out
  // unchanged.
  if (report_on_console || IsConsole(STD_ERROR_HANDLE)) {
    const UINT previous = GetConsoleOutputCP();
    const UINT names = GetACP();
    if (previous != 0 && previous != names && SetConsoleOutputCP(names)) {
      previous_output_code_page.store(previous);
    }
  }
  InstallInterruptCleanup();
}

void FlushConsoleReport() {
  if (IsConsole(STD_OUTPUT_HANDLE)) FlushReport();
}

// A Windows process ends at once, whatever its threads wait for. From here on a
// console control event ends nothing: the process is never ended from two
// threads at once (under Wine, two that end it together can each be left
// waiting for the other for good). A run that an event ends already is left to it.
void NoteRunFinished(int /*status*/) {
  if (!TakeEnding()) AwaitRunEnd();
}

void RestoreConsole() {
  const UINT previous = previous_output_code_page.exchange(0);
  if (previous != 0) SetConsoleOutputCP(previous);
}

namespace {

// The creation time of `process` as one number, 100 ns ticks; 0 when unknown.
std::uint64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

// Whether the parent process is the Windows shell (see ReadConsoleFacts).
bool StartedByShell() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  bool named_shell = false;
  for (BOOL more = parent != 0 && Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != parent) continue;
    named_shell = CompareStringOrdinal(entry.szExeFile, -1, L"explorer.exe", -1, TRUE) == CSTR_EQUAL;
    break;
  }
  CloseHandle(snapshot);
  if (!named_shell) return false;
  // Ids are reused once a process has ended: the parent was there first.
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
  if (process == nullptr) return false;
  const std::uint64_t parent_created = CreationTime(process);
  CloseHandle(process);
  const std::uint64_t own_created = CreationTime(GetCurrentProcess());
  return parent_created != 0 && own_created != 0 && parent_created <= own_created;
}

}  // namespace

ConsoleFacts ReadConsoleFacts() {
  ConsoleFacts facts;
  DWORD process_ids[2];
  facts.attached_processes = GetConsoleProcessList(process_ids, 2);
  const HWND window = GetConsoleWindow();
  facts.window_visible = window != nullptr && IsWindowVisible(window) != 0;
  facts.input_is_console = IsConsole(STD_INPUT_HANDLE);
  facts.output_is_console = IsConsole(STD_OUTPUT_HANDLE);
  facts.error_is_console = IsConsole(STD_ERROR_HANDLE);
  facts.started_by_shell = facts.attached_processes == 1 && !facts.window_visible &&
                           facts.input_is_console && facts.output_is_console &&
                           facts.error_is_console && StartedByShell();
  return facts;
}

void HoldOwnConsoleOpen() {
  // Keys pressed while the run went on do not count; one pressed once the line
  // below is shown does.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  FlushConsoleInputBuffer(input);
  std::string folder(MAX_PATH, '\0');
  DWORD length = GetCurrentDirectoryA(MAX_PATH, folder.data());
  if (length >= MAX_PATH) {  // the size needed, terminator included
    folder.resize(length);
    length = GetCurrentDirectoryA(length, folder.data());
  }
  folder.resize(length < folder.size() ? length : 0);
  // The usage text ends without a line break: the line starts on a line of its own.
  CONSOLE_SCREEN_BUFFER_INFO screen;
  const bool mid_line = GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen) &&
                        screen.dwCursorPosition.X != 0;
  std::fprintf(stderr, "%sartpeel: the images go to the current folder, %s; press a key to "
               "close this window\n", mid_line ? "\n" : "", folder.c_str());
  std::fflush(stderr);
  INPUT_RECORD record;
  DWORD records = 0;
  while (ReadConsoleInputW(input, &record, 1, &records) && records == 1) {
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
  }
}

// ---- The progress line ---------------------------------------------------------

namespace {

// Ctrl+C, Ctrl+Break and a closed console end the run from a thread of their
// own (the writer's console control handler), which ends a progress line left
// open. It must not write its line break into the middle of the line's bytes,
// nor may a line follow the break: the writes and the handler meet through
// these flags, which it learns its context from.
std::atomic<bool> progress_line_open{false};
std::atomic<bool> writing_progress_line{false};
std::atomic<bool> progress_line_ended{false};

void WriteToStandardError(const char* bytes, std::size_t size) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return;
    }
    bytes += written;
    size -= written;
  }
}

}  // namespace

bool ProgressLineWanted() { return IsConsole(STD_ERROR_HANDLE) && !IsConsole(STD_OUTPUT_HANDLE); }

bool TerminalInForeground() { return true; }

void WriteProgressLine(std::string_view bytes, bool line_open) {
  // Either the handler sees this write under way and waits for it, or this
  // sees the handler's mark and writes nothing (both flags sequentially
  // consistent).
  writing_progress_line = true;
  if (!progress_line_ended) {
    if (line_open) progress_line_open = true;
    WriteToStandardError(bytes.data(), bytes.size());
    if (!line_open) progress_line_open = false;
  }
  writing_progress_line = false;
}

void EndProgressLineOnInterrupt() {
  progress_line_ended = true;
  while (writing_progress_line) Sleep(1);
  if (progress_line_open.exchange(false)) WriteToStandardError("\n", 1);
}

std::string ErrorMessage(std::uint32_t code) {
  wchar_t wide[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
  // The system's messages end in a period and a line break.
  while (length > 0 && (wide[length - 1] == L'\r' || wide[length - 1] == L'\n' ||
                        wide[length - 1] == L' ' || wide[length - 1] == L'.')) {
    --length;
  }
  char text[2048];
  const int size = length == 0 ? 0
                               : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length),
                                                     text, sizeof text, nullptr, nullptr);
  if (size <= 0) {
    std::snprintf(text, sizeof text, "error code 0x%08lX", static_cast<unsigned long>(code));
    return text;
  }
  return std::string(text, static_cast<std::size_t>(size));
}

// ---- Reading a cache file ------------------------------------------------------

namespace {

std::wstring Widened(const char* text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
  wide.pop_back();  // the terminator
  return wide;
}

bool StartsWith(const std::wstring& text, const wchar_t* start) {
  return text.rfind(start, 0) == 0;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A path the walk builds starts from a folder made absolute (AbsolutePath) and
// adds the names the search gave, as they are.
bool IsFullyQualified(const std::wstring& path) {
  return (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2])) ||
         (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]));
}

// A fully qualified path in the "\\?\" form, which the system takes as it is:
// separators become backslashes, "." and ".." (and empty names) are resolved,
// and every other name is kept whole. A UNC path takes the "\\?\UNC\" form, and
// ".." stops at its share.
std::wstring Prefixed(const std::wstring& path) {
  std::wstring literal;
  std::size_t at = 0;
  std::size_t root_names = 0;  // the server and share of a UNC path
  if (path[1] == L':') {
    literal = L"\\\\?\\" + path.substr(0, 2);
    at = 2;
  } else {
    literal = L"\\\\?\\UNC";
    root_names = 2;
  }
  std::vector<std::size_t> name_ends;  // where literal ends before each name kept
  while (at < path.size()) {
    while (at < path.size() && IsSeparator(path[at])) ++at;
    std::size_t end = at;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::wstring_view name(path.data() + at, end - at);
    if (name == L"..") {
      if (name_ends.size() > root_names) {
        literal.resize(name_ends.back());
        name_ends.pop_back();
      }
    } else if (!name.empty() && name != L".") {
      name_ends.push_back(literal.size());
      literal += L'\\';
      literal += name;
    }
    at = end;
  }
  if (name_ends.empty()) literal += L'\\';  // a drive's root
  return literal;
}

// The wide services take a path in the "\\?\" form literally: a name ending in
// a dot or a space (which ordinary paths lose), and a name Windows would take
// for a device (NUL, CON, PRN, AUX, COM1 to COM9, LPT1 to LPT9, up to the first
// dot and whatever the extension, on every version before 11: NUL.itc2 would
// open the null device, a folder named CON the console), both name the file or
// folder of that name. So every path of the walk is opened and searched in
// that form. A path that is not fully qualified is first made so from the
// current folder (of its drive, for "C:folder"; the drive's root for
// "\folder"), as the narrow services make it. The wide services take such a
// path to 32,767 characters, so the prefix never pushes a path over the
// narrow services' limit. Empty when `path` cannot be converted; a path
// already in the "\\?\" or "\\.\" form is kept as it is, but for a backslash
// that follows another: a named folder that ends in one ("\\?\D:\") gets a
// second between it and each name below it, which the system would refuse.
std::wstring LiteralPath(const char* path) {
  std::wstring wide = Widened(path);
  if (wide.size() >= 4 && IsSeparator(wide[0]) && IsSeparator(wide[1]) &&
      (wide[2] == L'?' || wide[2] == L'.') && IsSeparator(wide[3])) {
    wide.erase(std::unique(wide.begin() + 4, wide.end(),
                           [](wchar_t a, wchar_t b) { return a == L'\\' && b == L'\\'; }),
               wide.end());
    return wide;
  }
  if (wide.empty()) return wide;
  if (!IsFullyQualified(wide)) {
    const bool drive_relative = wide.size() >= 2 && wide[1] == L':';
    const std::wstring start = drive_relative ? wide.substr(0, 2)
                               : IsSeparator(wide[0]) ? L"\\"
                                                      : L".";
    const DWORD needed = GetFullPathNameW(start.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(start.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed || !IsFullyQualified(full.substr(0, length))) return {};
    full.resize(length);
    wide = full + L"\\" + wide.substr(drive_relative ? 2 : 0);
  }
  return Prefixed(wide);
}

// `units` UTF-16 units converted to the narrow services' code page (UTF-8
// under the manifest) and appended to `narrow`. False, appending nothing, when
// a character has no form there (or, in UTF-8, is half a surrogate pair): that
// name could not be opened by what comes out.
bool AppendNarrowed(const wchar_t* wide, int units, std::string& narrow) {
  const UINT code_page = GetACP();
  const DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL lossy = FALSE;
  BOOL* const used_default = code_page == CP_UTF8 ? nullptr : &lossy;
  const int size =
      WideCharToMultiByte(code_page, flags, wide, units, nullptr, 0, nullptr, used_default);
  if (size <= 0 || lossy) return false;
  const std::size_t previous = narrow.size();
  narrow.resize(previous + static_cast<std::size_t>(size));
  WideCharToMultiByte(code_page, flags, wide, units, narrow.data() + previous, size, nullptr,
                      nullptr);
  return true;
}

}  // namespace

// A listing's word that the name is a file changes nothing here: the open
// itself tells a file on a disk from anything else.
MappedFile OpenFileReadOnly(const char* path, bool /*listed_as_file*/,
                            std::intptr_t /*in_folder*/) {
  MappedFile file;
  // No sharing: while the file is read nobody else may open it, and a file that
  // another process holds open fails here with ERROR_SHARING_VIOLATION.
  const std::wstring literal = LiteralPath(path);
  const HANDLE handle =
      literal.empty()
          ? CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr)
          : CreateFileW(literal.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    file.status = MapStatus::kOpenFailed;
    file.error_code = GetLastError();
    return file;
  }
  // A name can still lead to something else than a file on a disk (a link to
  // a device or a pipe): it is let go unread, as a file that cannot be mapped.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    file.status = MapStatus::kMapFailed;
    CloseHandle(handle);
    return file;
  }
  DWORD size_high = 0;
  const DWORD size_low = GetFileSize(handle, &size_high);
  if (size_low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    file.status = MapStatus::kMapFailed;
    CloseHandle(handle);
    return file;
  }
  file.status = MapStatus::kOpened;
  file.size = std::uint64_t{size_high} << 32 | size_low;
  file.file_handle = FromHandle(handle);
  return file;
}

MappedFile OpenCacheFileAtItsTurn(const char* path, bool /*listed_as_file*/) {
  MappedFile file;
  RetryWhileHeld(
      [&] {
        file = OpenFileReadOnly(path);
        return file.status == MapStatus::kOpenFailed ? file.error_code : NO_ERROR;
      },
      HeldByAnotherProcess);
  return file;
}

// Windows asks the file system for the size each time.
void MapOpenedFile(MappedFile& file, bool /*as_cached*/) {
  // Held without sharing, the file is changed by no other Windows program;
  // under Wine a Linux one still can. It is read at the size it has now.
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(file.file_handle), &size) || size.QuadPart < 0) {
    file.status = MapStatus::kMapFailed;
    ReleaseMappedFile(file);
    return;
  }
  file.size = static_cast<std::uint64_t>(size.QuadPart);
  // Size 0 maps the whole file; an empty file cannot be mapped and fails here.
  const HANDLE mapping =
      CreateFileMappingA(AsHandle(file.file_handle), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    file.status = MapStatus::kMapFailed;
    ReleaseMappedFile(file);
    return;
  }
  file.mapping_handle = FromHandle(mapping);
  const void* view = nullptr;
  if (file.size <= SIZE_MAX) {
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  }
  if (view == nullptr) {
    file.status = MapStatus::kViewFailed;
    file.error_code = file.size <= SIZE_MAX ? GetLastError() : ERROR_FILE_TOO_LARGE;
    ReleaseMappedFile(file);
    return;
  }
  file.status = MapStatus::kMapped;
  file.data = static_cast<const unsigned char*>(view);
}

void ReleaseMappedFile(MappedFile& file) {
  if (file.data != nullptr) {
    UnmapViewOfFile(file.data);
    file.data = nullptr;
  }
  if (file.mapping_handle != -1) {
    CloseHandle(AsHandle(file.mapping_handle));
    file.mapping_handle = -1;
  }
  if (file.file_handle != -1) {
    CloseHandle(AsHandle(file.file_handle));
    file.file_handle = -1;
  }
}

bool OpenMayWorkLater(std::uint32_t error_code) {
  // A file opened ahead is held unshared until its turn: another path to the
  // same file (a hard link, a folder reached twice) finds it held until then.
  return error_code == ERROR_SHARING_VIOLATION || error_code == ERROR_TOO_MANY_OPEN_FILES ||
         error_code == ERROR_NO_SYSTEM_RESOURCES || error_code == ERROR_NOT_ENOUGH_MEMORY ||
         error_code == ERROR_OUTOFMEMORY;
}

// ---- Looking ahead -------------------------------------------------------------

// Windows limits a process's handles only by its memory.
std::size_t DescriptorsForLookAhead() { return 256; }

// Nor does it limit a process's address space, beyond what the machine has.
std::uint64_t AddressSpaceForLookAhead() { return UINT64_MAX; }

namespace {

struct HelperStart {
  void (*run)(void* context);
  void* context;
};

// The helpers running: a thread's stack goes back to the system when it ends.
LONG volatile helpers_running = 0;

// A helper's buffer for ReadIntoCache, made at its first call and freed as the
// helper ends. A plain pointer, not an object with a destructor: mingw-w64's
// emulated thread-local storage can free such an object's storage before its
// destructor runs at the thread's end, which then frees whatever has taken
// that memory meanwhile (a lock of the look-ahead, say), and another thread
// crashes on it. Helpers end as a walk ends, so the run died at its very end.
thread_local unsigned char* read_buffer = nullptr;

DWORD WINAPI RunHelperThread(void* start) {
  const HelperStart helper = *static_cast<HelperStart*>(start);
  delete static_cast<HelperStart*>(start);
  helper.run(helper.context);
  delete[] std::exchange(read_buffer, nullptr);
  InterlockedDecrement(&helpers_running);
  return 0;
}

}  // namespace

bool StartHelperThread(void (*run)(void* context), void* context) {
  auto* start = new HelperStart{run, context};
  InterlockedIncrement(&helpers_running);
  // The size reserves the stack's address space; the program's default would
  // reserve far more for each helper.
  const HANDLE thread = CreateThread(nullptr, kHelperStackBytes, RunHelperThread, start,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    InterlockedDecrement(&helpers_running);
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

// Windows limits no address space short of the machine's: this is seldom
// called, and looks every millisecond.
bool AwaitHelpersEnded(std::uint64_t most_microseconds) {
  const std::uint64_t deadline = MonotonicMicroseconds() + most_microseconds;
  while (InterlockedCompareExchange(&helpers_running, 0, 0) > 0) {
    if (MonotonicMicroseconds() >= deadline) return false;
    Sleep(1);
  }
  return true;
}

// The system gives each thread's stack back as the thread ends.
void GiveBackHelperMemory() {}

// The open asked the size already.
bool ReadOpenedFileSize(MappedFile& file) { return file.file_handle != -1; }

// Nothing tells cheaply whether a file's bytes are in the cache: they are read
// ahead every time.
bool InCacheAlready(const MappedFile& /*file*/) { return false; }

bool AttributesCached(const MappedFile& /*file*/) { return true; }

// Only the few files the walk comes to next are held ahead here
// (kMostFilesHeldAhead), each for a moment: a view is made at the file's turn.
bool MapAhead(MappedFile& /*file*/, bool /*size_asked*/) { return false; }

// Windows has no request to read a file into its cache without waiting: the
// bytes are read, by the look-ahead's thread, and the reading of the mapped
// view then finds them in the cache. A sequential read lets the cache manager
// read ahead of it in large pieces, which a share answers in few round trips.
std::uint64_t ReadIntoCache(const MappedFile& file, std::uint64_t max_bytes) {
  constexpr DWORD kPiece = 256 * 1024;
  if (read_buffer == nullptr) read_buffer = new unsigned char[kPiece];
  const std::uint64_t wanted = file.size < max_bytes ? file.size : max_bytes;
  const HANDLE handle = AsHandle(file.file_handle);
  std::uint64_t done = 0;
  while (done < wanted) {
    const DWORD piece = wanted - done < kPiece ? static_cast<DWORD>(wanted - done) : kPiece;
    DWORD read = 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(done);
    at.OffsetHigh = static_cast<DWORD>(done >> 32);
    if (!ReadFile(handle, read_buffer, piece, &read, &at) || read == 0) break;
    done += read;
  }
  return done;
}

std::uint64_t MonotonicMicroseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
  return ticks / per_second * 1000000 + ticks % per_second * 1000000 / per_second;
}

std::uint64_t ProcessorMicroseconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  // Both in 100-nanosecond ticks.
  const auto ticks = [](const FILETIME& time) {
    return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 10;
}

// ---- Listing a folder ----------------------------------------------------------

namespace {

// The volume serial number and file index of the folder at `literal` (a
// LiteralPath): the same for every path that leads to it, links and junctions
// included.
bool ReadFolderId(const std::wstring& literal, FolderId& id) {
  // Backup semantics is what lets CreateFileW open a folder; asking for no access
  // and sharing everything keeps the query from disturbing anyone.
  const HANDLE handle =
      CreateFileW(literal.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

// Stands in for the id of a folder that cannot be queried: a hash of its path,
// marked with a volume no real serial number has. Distinct paths give distinct
// ids, so such a folder is never mistaken for one already walked;
// a cycle through such folders still ends at the path limit.
FolderId PathFolderId(const char* path) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char* c = path; *c != '\0'; ++c) {
    hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  }
  return {~std::uint64_t{0}, hash};
}

void ReadFolderIdOrHash(const char* path, const std::wstring& literal, FolderId& id) {
  if (!ReadFolderId(literal, id)) id = PathFolderId(path);
}

}  // namespace

// The wide search hands back every name whole (up to 255 UTF-16 units), and
// asks for large batches, which a network share answers in fewer round trips.
// No folder is kept open: every path is opened whole.
bool ListFolder(const char* path, FolderListing& listing, std::intptr_t /*in_folder*/,
                bool /*keep_open*/, bool /*first_part*/) {
  listing.names.clear();
  listing.entries.clear();
  listing.error_code = 0;
  // Held to the narrow services' path limit, as the rest of the walk is.
  if (PathLength(path) + 4 >= MAX_PATH) {
    listing.error_code = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  const std::wstring folder = LiteralPath(path);
  if (folder.empty()) {
    listing.error_code = ERROR_INVALID_NAME;
    return false;
  }
  // One search for every entry; the walk picks out the cache files itself.
  const std::wstring pattern = folder + (folder.back() == L'\\' ? L"*" : L"\\*");
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Only a drive's root folder lists no "." and "..": empty, it matches nothing.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ReadFolderIdOrHash(path, folder, listing.id);
      return true;
    }
    listing.error_code = error;
    return false;
  }
  ReadFolderIdOrHash(path, folder, listing.id);
  do {
    const wchar_t* const name = found.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
    // A name the narrow services' code page cannot hold (before Windows 10
    // version 1903, outside the ANSI code page) could not be opened by it: it
    // is passed over, like a folder past the path limit.
    const std::size_t offset = listing.names.size();
    if (!AppendNarrowed(name, static_cast<int>(std::wcslen(name)), listing.names)) continue;
    listing.names += '\0';
    // Junctions and links to folders carry the folder attribute too.
    listing.entries.push_back({offset, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search, &found));
  // Anything but the folder's end (a share dropped part way) keeps what was
  // listed, and says why the rest is missing.
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) listing.error_code = error;
  FindClose(search);
  return true;
}

void CloseFolder(std::intptr_t /*handle*/) {}

// A search is read whole (ListFolder's first_part): its large batches already
// make few round trips.
void ListRestOfFolder(std::intptr_t /*handle*/, FolderListing& /*listing*/) {}

// A backup or sync client, a scanner or an indexer may open a folder without
// sharing: the search is refused until it lets go.
bool ListFolderAtItsTurn(const char* path, FolderListing& listing, std::intptr_t in_folder,
                         bool keep_open, bool first_part) {
  bool listed = false;
  RetryWhileHeld(
      [&] {
        listed = ListFolder(path, listing, in_folder, keep_open, first_part);
        return listed ? NO_ERROR : listing.error_code;
      },
      HeldByAnotherProcess);
  return listed;
}

std::string AbsolutePath(const char* path) {
  // A path in the "\\?\" form is the system's own, taken as written (as
  // LiteralPath takes it): a user's one way to name a folder whose name ends in
  // a dot or a space, which an ordinary path loses, as in every Windows program.
  if (std::strncmp(path, "\\\\?\\", 4) == 0) return path;
  // "" names the current folder.
  const char* const named = *path == '\0' ? "." : path;
  std::string absolute(MAX_PATH, '\0');
  DWORD length = GetFullPathNameA(named, MAX_PATH, absolute.data(), nullptr);
  if (length >= MAX_PATH) {
    // Too long for the buffer: `length` is the size needed, terminator included.
    // Such a path is past the search limit anyway, but it is still reported right.
    absolute.resize(length);
    const DWORD needed = length;
    length = GetFullPathNameA(named, needed, absolute.data(), nullptr);
    if (length >= needed) length = 0;
  }
  if (length == 0) return path;
  absolute.resize(length);
  // A name Windows takes for a device (CON, COM1.txt) comes back as the device
  // ("\\.\CON"); named as a folder, it is the folder of that name, its path
  // resolved as LiteralPath resolves it, and printed without the prefix.
  if (absolute.rfind("\\\\.\\", 0) == 0) {
    const std::wstring literal = LiteralPath(named);
    const std::size_t prefix = StartsWith(literal, L"\\\\?\\UNC\\") ? 8
                               : StartsWith(literal, L"\\\\?\\")    ? 4
                                                                  : 0;
    std::string printed = prefix == 8 ? "\\\\" : "";
    if (prefix != 0 && AppendNarrowed(literal.data() + prefix,
                                      static_cast<int>(literal.size() - prefix), printed)) {
      return printed;
    }
  }
  return absolute;
}

}  // namespace artpeel::platform
