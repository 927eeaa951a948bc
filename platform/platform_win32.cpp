// Win32 implementation of the operating-system layer, on the narrow-character
// ("A") file, mapping and search services. The program's manifest makes their
// code page UTF-8, so every path here is UTF-8 where Windows honours it.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
  if (report_on_console) {
    std::setvbuf(stdout, nullptr, _IOFBF, std::size_t{64} << 10);  // see FlushConsoleReport
  }
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
  if (IsConsole(STD_OUTPUT_HANDLE)) std::fflush(stdout);
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

std::uint32_t StandardOutputErrorCode() {
  // The C runtime keeps the system's code of its failed write in _doserrno; a
  // failure of its own (no such stream) leaves it 0.
  return _doserrno != 0 ? static_cast<std::uint32_t>(_doserrno) : ERROR_WRITE_FAULT;
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

// Windows takes the last part of an ordinary path for a device when its name,
// up to the first dot, is NUL, CON, PRN, AUX, COM1 to COM9 or LPT1 to LPT9
// (every version before 11, whatever the extension): NUL.itc2 would open the
// null device and COM1.itc2 a serial port. Behind the "\\?\" prefix a path is
// taken literally, so the file of that name is opened instead. What comes
// before the name is resolved first as the narrow services resolve it (forward
// slashes, "." and "..", a drive-relative "C:folder", a path from the drive's
// root), ending in a separator, which no device name follows. A UNC path takes
// the "\\?\UNC\" form. The wide services take such a path to 32,767
// characters, so the prefix never pushes a path over the narrow services'
// limit. Empty when `path` cannot be converted; a path already in the "\\?\"
// or "\\.\" form is kept as it is.
std::wstring LiteralPath(const char* path) {
  const std::wstring wide = Widened(path);
  if (wide.empty() || StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return wide;
  const std::size_t separator = wide.find_last_of(L"\\/");
  std::wstring folder;
  std::wstring name;
  if (separator != std::wstring::npos) {
    folder = wide.substr(0, separator + 1);
    name = wide.substr(separator + 1);
  } else if (wide.size() >= 2 && wide[1] == L':') {
    folder = wide.substr(0, 2) + L".\\";  // the drive's current folder
    name = wide.substr(2);
  } else {
    folder = L".\\";
    name = wide;
  }
  if (name == L"." || name == L"..") {
    folder = wide + L"\\";
    name.clear();
  }
  const DWORD needed = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(folder.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full + name;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2) + name;
  return L"\\\\?\\" + full + name;
}

}  // namespace

MappedFile MapFileReadOnly(const char* path) {
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
  const std::uint64_t size = std::uint64_t{size_high} << 32 | size_low;
  // Size 0 maps the whole file; an empty file cannot be mapped and fails here.
  const HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    file.status = MapStatus::kMapFailed;
    CloseHandle(handle);
    return file;
  }
  const void* view = nullptr;
  if (size <= SIZE_MAX) {
    view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  }
  if (view == nullptr) {
    file.status = MapStatus::kViewFailed;
    CloseHandle(mapping);
    CloseHandle(handle);
    return file;
  }
  file.status = MapStatus::kMapped;
  file.data = static_cast<const unsigned char*>(view);
  file.size = size;
  file.file_handle = FromHandle(handle);
  file.mapping_handle = FromHandle(mapping);
  return file;
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

// ---- Reading ahead -------------------------------------------------------------

// Every Win32 way to start reading a file into the system cache (an overlapped
// read, a prefetch of a mapped view) goes through a handle that must stay open
// until the read is done. Waiting for it would be no read-ahead at all, and a
// handle kept open until the file's turn would make the reader's own unshared
// open of it fail. So the walk's read-ahead asks for nothing here.
std::uint64_t ReadAhead(const char* /*path*/, std::uint64_t /*max_bytes*/) { return 0; }

// ---- Listing a folder ----------------------------------------------------------

namespace {

// The volume serial number and file index of the folder at `path`: the same for
// every path that leads to it, links and junctions included.
bool ReadFolderId(const char* path, FolderId& id) {
  // Backup semantics is what lets CreateFileA open a folder; asking for no access
  // and sharing everything keeps the query from disturbing anyone.
  // The literal path keeps a folder named like a device (CON, COM1) from
  // opening the device.
  const std::wstring literal = LiteralPath(path);
  if (literal.empty()) return false;
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

// A name whose UTF-8 form does not fit the search record's 260 bytes cannot be
// given by the narrow search. Windows fails the call for that entry
// (ERROR_MORE_DATA) and moves on; Wine fills the record with as much of the
// name as fits and no terminator. Neither may be opened under a cut name: such
// an entry is passed over like a folder past the path limit, and the rest of
// the folder is listed.

// Written over the record's name before each search call: a terminator in the
// record is then one that the call wrote.
constexpr unsigned char kUnwritten = 0xFF;

// Whether `found` holds a whole name. A long one is checked by searching for
// exactly that name, in case a system cut it at a character boundary and ended
// it there: no entry bears the cut name then (UTF-8 takes at most 4 bytes a
// character, so a name that stops short of the record's last 4 bytes was whole).
bool HoldsWholeName(const char* folder, const WIN32_FIND_DATAA& found) {
  const char* name = found.cFileName;
  const void* end = std::memchr(name, '\0', sizeof found.cFileName);
  if (end == nullptr) return false;
  if (static_cast<const char*>(end) - name < static_cast<std::ptrdiff_t>(MAX_PATH - 4)) return true;
  std::string exact = folder;
  exact += '\\';
  exact += name;
  WIN32_FIND_DATAA match;
  std::memset(match.cFileName, kUnwritten, sizeof match.cFileName);
  const HANDLE search = FindFirstFileA(exact.c_str(), &match);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return std::memchr(match.cFileName, '\0', sizeof match.cFileName) != nullptr &&
         std::strcmp(match.cFileName, name) == 0;
}

}  // namespace

bool ListFolder(const char* path, FolderListing& listing) {
  listing.names.clear();
  listing.entries.clear();
  // One search for every entry; the walk picks out the cache files itself.
  std::string pattern = path;
  pattern += "\\*.*";
  if (PathLength(pattern) >= MAX_PATH) {
    listing.error_code = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  WIN32_FIND_DATAA found;
  std::memset(found.cFileName, kUnwritten, sizeof found.cFileName);
  const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Only a drive's root folder lists no "." and "..": empty, it matches nothing.
    const DWORD attributes = GetFileAttributesA(path);
    if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (!ReadFolderId(path, listing.id)) listing.id = PathFolderId(path);
      return true;
    }
    listing.error_code = error;
    return false;
  }
  if (!ReadFolderId(path, listing.id)) listing.id = PathFolderId(path);
  // Each entry that does not fit the record moves the search past it; the
  // bound only keeps a system that failed without moving on from looping.
  int unfit_in_a_row = 0;
  for (bool have_entry = true;;) {
    const char* name = found.cFileName;
    if (have_entry && HoldsWholeName(path, found) && std::strcmp(name, ".") != 0 &&
        std::strcmp(name, "..") != 0) {
      // Junctions and links to folders carry the folder attribute too.
      const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      listing.entries.push_back({listing.names.size(), is_folder});
      listing.names.append(name, std::strlen(name) + 1);
    }
    std::memset(found.cFileName, kUnwritten, sizeof found.cFileName);
    have_entry = FindNextFileA(search, &found) != 0;
    if (have_entry) {
      unfit_in_a_row = 0;
    } else if (GetLastError() != ERROR_MORE_DATA || ++unfit_in_a_row > 65536) {
      break;
    }
  }
  FindClose(search);
  return true;
}

std::string AbsolutePath(const char* path) {
  char buffer[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, MAX_PATH, buffer, nullptr);
  if (length == 0) return path;
  if (length < MAX_PATH) return std::string(buffer, length);
  // Too long for the buffer: `length` is the size needed, terminator included.
  // Such a path is past the search limit anyway, but it is still reported right.
  std::string absolute(length, '\0');
  const DWORD written = GetFullPathNameA(path, length, absolute.data(), nullptr);
  if (written == 0 || written >= length) return path;
  absolute.resize(written);
  return absolute;
}

}  // namespace artpeel::platform
