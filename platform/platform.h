// The operating-system layer: the few file, mapping and folder services artpeel
// needs, behind one small interface. Everything that includes an OS header lives
// in this folder; the POSIX and Win32 implementations sit side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace artpeel::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The longest path, terminator included, that the platform's file services take,
// counted as PathLength counts.
std::size_t MaxPathLength();

// The length of `path` as the platform's path limit counts it: in bytes on POSIX;
// on Windows in the UTF-16 units the narrow services convert every path to.
std::size_t PathLength(std::string_view path);

// Sets the process up before anything is printed or written: standard output
// passes the report's bytes through unchanged (no line-ending translation); a
// console shows them in the code page the names come in (UTF-8 on Windows); a
// file size limit makes a write fail, to be reported, rather than end the run
// with a temporary file left behind; and a run ended from outside leaves none
// either, with its report whole to its last line. On POSIX the run goes on in
// a child process, which the calling process supervises until it ends.
void PrepareProcess();

// The system's message for an error code of this platform (errno on POSIX, a
// GetLastError code on Windows), in UTF-8, without a closing period or line break.
std::string ErrorMessage(std::uint32_t code);

// Shows on a console what the report holds so far; the walk calls it after each
// cache file. A Windows console gets the report in blocks: a line at a time,
// it would take it slowly, and with each UTF-8 character split across writes
// (which Wine's console shows as U+FFFD). Elsewhere (a POSIX terminal takes
// the report a line at a time), and when standard output is not a console, it
// does nothing.
void FlushConsoleReport();

// Puts back what PrepareProcess changed outside the process (on Windows, the
// console's output code page). Safe to call more than once and from any thread,
// a console control handler's included; the report should be flushed first.
void RestoreConsole();

// What the process can see of its console.
struct ConsoleFacts {
  std::uint32_t attached_processes = 0;  // attached to the console, this one included
  bool window_visible = false;
  bool input_is_console = false;  // standard input, output and error
  bool output_is_console = false;
  bool error_is_console = false;
  bool started_by_shell = false;  // by the Windows shell, explorer.exe
};

// Whether the run ends by waiting for a key: only when its console was made
// for it alone and closes with it, so that the window stays until its report is
// read. That is a console whose window is visible (a double-click in Explorer
// on Windows 10, a folder dropped on the program), or one the Windows shell
// made for it whether its window shows or not (on Windows 11 Windows Terminal
// hosts it, and closes the tab when the run ends). Never with a console shared
// with a command prompt or a script, a hidden one that no shell made (a
// scheduled task, a service, ssh), any stream redirected, or no console at all:
// a wait there would hang whoever started the run.
constexpr bool ShouldWaitForKey(const ConsoleFacts& facts) {
  return facts.attached_processes == 1 && (facts.window_visible || facts.started_by_shell) &&
         facts.input_is_console && facts.output_is_console && facts.error_is_console;
}

// What the process sees of its console now; nothing at all outside Windows.
// Whether the shell started it is looked up only where that can matter: alone
// on a console holding all three streams, its window not visible. It is when
// the parent process, found by its id, is named explorer.exe (in any letter
// case) and was created before this one (so that a process given the id of an
// ended parent does not count); when the parent cannot be found, it is not.
ConsoleFacts ReadConsoleFacts();

// For a run that ShouldWaitForKey holds for: says on standard error where the
// images go (the current folder) and waits for a key. Windows only; elsewhere
// it does nothing.
void HoldOwnConsoleOpen();

// ---- The report ----------------------------------------------------------------

// Adds `lines`, whole lines, to the report on standard output. They go out in
// blocks of 4 KiB, a line at a time to a terminal (see FlushConsoleReport for
// a Windows console). A run ended from outside (an ending signal, Ctrl+C, a
// closed console) writes out every line added before it began to end, and no
// part of a line; the line of a written image comes with the image
// (WriteFileReplacing).
void AddToReport(std::string_view lines);

// Writes out the lines the report holds. 0 when every line added so far
// reached standard output; otherwise the system's code for the first write
// that failed (errno on POSIX, a GetLastError code on Windows).
std::uint32_t FlushReport();

// Names what the working thread draws when it ends the run from outside, just
// before the report's last lines go out: `draw(context)` shows the progress
// summary, which then counts what the report names.
void SetEndingSummary(void (*draw)(void* context), void* context);

// ---- Reading a cache file ------------------------------------------------------

enum class MapStatus {
  kMapped,      // data/size hold the whole file
  kOpened,      // opened for reading and not mapped yet: file_handle is set (and
                // size, where the open asked it)
  kOpenFailed,  // the file could not be opened; error_code holds the OS's code
  kMapFailed,   // opened, but it cannot be mapped (empty, or not a regular file)
  kViewFailed,  // the mapping call itself failed
};

// A whole file opened for reading, and mapped read-only once MapOpenedFile has
// mapped it. It is the file's one owner: it can be moved, not copied, and
// whatever it still holds is released (ReleaseMappedFile) when it goes. The
// handles are the platform's own; only this layer touches them.
struct MappedFile {
  MapStatus status = MapStatus::kOpenFailed;
  // The system's code for a failed open, or for a view that could not be had.
  std::uint32_t error_code = 0;
  const unsigned char* data = nullptr;
  std::uint64_t size = 0;
  std::intptr_t file_handle = -1;
  std::intptr_t mapping_handle = -1;  // Windows' mapping object
  std::uint8_t view_region = 0;       // POSIX: the region of views that holds it; 0: none

  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept { TakeFrom(other); }
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

 private:
  void TakeFrom(MappedFile& other);  // what `other` holds, leaving it empty
};

// Opens `path` for reading as a cache file is read: only a regular file (on
// Windows, a file on a disk), exclusively where the platform can. kOpened on
// success; any other status leaves nothing open and says why the file cannot
// be read. `listed_as_file`: its folder's listing says it is a regular file
// (FolderEntry::is_file), which on POSIX lets it be opened in one call, its
// type then checked on the descriptor before anything is read from it.
// `in_folder`: the folder that holds it, which ListFolder kept open
// (FolderListing::handle); it is then opened by its name there, the part of
// `path` after its last separator, and on a share the folders above it are
// not looked up again.
MappedFile OpenFileReadOnly(const char* path, bool listed_as_file = false,
                            std::intptr_t in_folder = -1);

// Opens `path` as OpenFileReadOnly does, for the walk at the file's turn: an
// open refused because another program holds the file for a moment is tried
// again for about a second before it is reported.
MappedFile OpenCacheFileAtItsTurn(const char* path, bool listed_as_file = false);

// Maps all of a file that OpenFileReadOnly opened, at the type and size it has
// now, asked as the file system's own rules have it (a file opened ahead of
// its turn may have been rewritten or cut short since; a share that does not
// cache attributes asks its server, and drops cached bytes that changed):
// kMapped, or the status of the failure with the file closed; for kViewFailed
// `error_code` says why the view could not be had (OpenMayWorkLater tells one
// that the address space was short for). `as_cached`: what the system has
// cached of the file's attributes serves, even past the time a share keeps
// them (AttributesCached), and no server is asked.
void MapOpenedFile(MappedFile& file, bool as_cached = false);

// Releases the view, then the mapping, then the file; a file that is only
// opened is closed. Safe to call again.
void ReleaseMappedFile(MappedFile& file);

inline MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    ReleaseMappedFile(*this);
    TakeFrom(other);
  }
  return *this;
}

inline void MappedFile::TakeFrom(MappedFile& other) {
  status = other.status;
  error_code = other.error_code;
  data = other.data;
  size = other.size;
  file_handle = other.file_handle;
  mapping_handle = other.mapping_handle;
  view_region = other.view_region;
  other.data = nullptr;
  other.file_handle = other.mapping_handle = -1;
  other.view_region = 0;
}

inline MappedFile::~MappedFile() { ReleaseMappedFile(*this); }

// Whether an open, a listing or a view that failed with `error_code` may
// succeed later in the same run: the process or the system had too many files
// open, or was short of memory or address space, or (on Windows) another
// opener held the file. What a helper of the look-ahead meets so is done again
// by the walk at its turn; a view the walk cannot have so is tried again once
// the look-ahead has given back what it holds.
bool OpenMayWorkLater(std::uint32_t error_code);

// Runs `read_file` on `file`, handing it `context`. Pages of the file can fail
// to come in while it is mapped (another process cuts it short; on Windows also
// a dropped share, a pulled USB stick, a bad sector); the fault that raises
// (SIGBUS on POSIX, an exception on Windows) ends `read_file` where it stands
// and this returns false. `read_file` must hold only trivially destructible
// objects in the frames that read the mapping, since they are abandoned, not
// unwound; what it stores through `context` outlives them. True when
// `read_file` ran to its end.
bool ReadMappedFileGuarded(const MappedFile& file,
                           void (*read_file)(const MappedFile& file, void* context),
                           void* context);

// ---- Looking ahead -------------------------------------------------------------

// Asks the size of a file that OpenFileReadOnly opened, into `file.size`: false
// when it is not a regular file after all (MapOpenedFile reports it at its
// turn) or the system cannot tell.
bool ReadOpenedFileSize(MappedFile& file);

// Whether the bytes of an opened file whose size is known are in the system's
// cache already, as far as one cheap question can tell (on Linux, whether its
// last byte can be read without waiting); false where it cannot.
bool InCacheAlready(const MappedFile& file);

// Whether the system answers a question for an opened file's attributes
// from its cache, right after ReadOpenedFileSize asked them: false on a share
// that asks its server every time (NFS mounted noac, FUSE with
// attr_timeout=0), where the answer takes as long as a round trip.
bool AttributesCached(const MappedFile& file);

// Brings up to `max_bytes` bytes from the start of a file that OpenFileReadOnly
// opened, its size known, into the system's cache, so that mapping and reading
// it later waits for no disk or network. Returns how many bytes it asked for.
// On POSIX it asks the system to read them and returns at once; on Windows,
// which has no such request, it reads them, and returns when they are in.
std::uint64_t ReadIntoCache(const MappedFile& file, std::uint64_t max_bytes);

// Maps a file that OpenFileReadOnly opened, ahead of its turn, at the size
// the system has cached for it (`size_asked`: ReadOpenedFileSize asked it just
// now), where that is cheap: a file of up to kLargestFileMappedAhead bytes, into
// address space kept for views, on POSIX. MapOpenedFile keeps the view at the
// file's turn while the file still has that size. False where no view was made.
inline constexpr std::uint64_t kLargestFileMappedAhead = std::uint64_t{256} << 10;
bool MapAhead(MappedFile& file, bool size_asked);

// How many descriptors the look-ahead may hold at once: a share of those the
// process has free now, after a reserve for the walk's own (the cache file it
// dumps, the image it writes, the folder it lists); 0 when few are free.
std::size_t DescriptorsForLookAhead();

// How many cache files the look-ahead may hold open ahead of the walk, as
// many helpers keep it busy on a far share. On Windows a file is held without
// sharing, and another program that opens it meanwhile is refused: only the
// few the walk comes to next are held there, each for a moment, well within
// the second such a program waits.
#ifdef _WIN32
inline constexpr std::size_t kMostFilesHeldAhead = 4;
#else
inline constexpr std::size_t kMostFilesHeldAhead = 256;
#endif

// How many bytes of address space the look-ahead may take, for its helpers'
// stacks and the listings it keeps: a share of what the process's limit leaves
// free, so that the walk can still map its cache files; all there is where
// nothing limits it.
std::uint64_t AddressSpaceForLookAhead();

// The stack a helper thread gets: ample for a listing or an open, and small,
// so that helpers take little of the address space.
inline constexpr std::size_t kHelperStackBytes = std::size_t{256} << 10;

// Runs `run(context)` on a new thread with a stack of kHelperStackBytes, which
// nobody needs to wait for: it ends on its own. False when no thread can be
// started.
bool StartHelperThread(void (*run)(void* context), void* context);

// Waits until every helper thread has ended, for about `most_microseconds` at
// most (one held in the kernel by a share that stopped answering may never
// end); their stacks are kept for helpers started later. True when every one
// had ended.
bool AwaitHelpersEnded(std::uint64_t most_microseconds);

// Gives the system back the stacks kept of helpers that ended, the buffers
// kept for reading folders, and what the heap holds free: under a limit on the
// address space, it is free to map a cache file then. At the end of a run it
// would only cost the time: the process's exit gives back all at once.
void GiveBackHelperMemory();

// Microseconds from a fixed point in the past, on a clock that never goes
// back: how long a helper's call to the file system took.
std::uint64_t MonotonicMicroseconds();

// Microseconds of processor time the process has taken so far, all its
// threads, in the kernel and out of it.
std::uint64_t ProcessorMicroseconds();

// ---- Writing an image ----------------------------------------------------------

enum class WriteStatus {
  kWritten,        // `name` now holds exactly the bytes given
  kCreateFailed,   // the file could not be created or put in place
  kWriteFailed,    // the bytes could not all be written
  kSourceCut,      // the bytes were gone from their file: it was cut short meanwhile
};

// Writes `size` bytes to a new file `name` in the current directory. The bytes go
// to a temporary file first, which replaces `name` only once it is complete: on
// any failure `name` is left as it was and no temporary file remains. When the
// bytes are those of an open file (`source_handle`, from `source_offset` on),
// the system may copy them from that file instead of from `data`. The report
// line `written_line` is added to the report in the same step that puts the
// image under its name, so that a run ended from outside names every image it
// wrote, and no other.
WriteStatus WriteFileReplacing(const char* name, const unsigned char* data, std::uint64_t size,
                               std::intptr_t source_handle = -1,
                               std::uint64_t source_offset = 0,
                               std::string_view written_line = {});

// ---- The progress line ---------------------------------------------------------

// True when standard error is a terminal (on Windows, a console) and standard
// output is not: the report goes to a file or a pipe, and the terminal can show
// how far the run has got.
bool ProgressLineWanted();

// False while the run is a background job of the terminal on standard error,
// which a progress line would write over the user's typing; true wherever that
// cannot be told (Windows, a terminal that is not the run's own).
bool TerminalInForeground();

// Writes `bytes` to standard error as they are: one piece of the progress line,
// which the caller draws and rewrites in place with carriage returns.
// `line_open` says whether they leave a line on the terminal that no line break
// has ended yet; an interrupted run ends such a line before it dies
// (EndProgressLineOnInterrupt).
void WriteProgressLine(std::string_view bytes, bool line_open);

// Ends a progress line that is left open, so that whatever the terminal shows
// next starts on a line of its own. For a run ended from outside: safe in a
// signal handler and in a console control handler's thread; a progress line
// written after it is not shown.
void EndProgressLineOnInterrupt();

// Notes, once everything is written, that the run ends with exit status
// `status`: a supervisor ends so without waiting for the run's last threads,
// which a share that stopped answering may hold in the kernel; on Windows, an
// interruption from here on ends nothing, and the process ends as the run
// does. Nothing is written after it.
void NoteRunFinished(int status);

// ---- Listing a folder ----------------------------------------------------------

// What tells one folder from another, however it was reached (links included).
struct FolderId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

struct FolderEntry {
  std::size_t name_offset;  // into FolderListing::names
  bool is_folder;           // links to folders count as folders
  // A regular file, or a folder, by the listing's own word, with no link
  // between: opened by its name in its folder (ListFolder's keep_open), it is
  // reached as by its whole path.
  bool is_file = false;
  bool is_plain_folder = false;
};

// Every entry of one folder but "." and "..", in the platform's own order.
struct FolderListing {
  FolderId id;
  // The folder itself, kept open where ListFolder was asked to and can, for
  // opening its entries by their names (CloseFolder closes it); -1 otherwise.
  std::intptr_t handle = -1;
  // The system's code when ListFolder failed, or when reading stopped part way
  // (the entries then hold what was read); 0 for a whole listing.
  std::uint32_t error_code = 0;
  std::string names;  // each entry's name, NUL-terminated, back to back
  std::vector<FolderEntry> entries;
  bool more_to_read = false;  // ListFolder's first part left the rest to ListRestOfFolder

  const char* NameOf(const FolderEntry& entry) const {
    return names.c_str() + entry.name_offset;
  }
};

// Lists `path` into `listing`. False when the folder cannot be listed (missing,
// not a folder, unreadable), with the reason in `listing.error_code`; an empty
// folder lists as true with no entries. A read that fails part way (an I/O
// error, a share gone stale) returns true with the entries read so far and its
// reason in `listing.error_code`. `in_folder` as for OpenFileReadOnly; with
// `keep_open` the folder is left open in `listing.handle` where the platform
// can (Linux), for the opens of its entries. With `first_part` as well, where
// the platform reads a folder in parts (Linux), it stops after the first read
// that returns entries (on a share, one round trip): where more may follow,
// `listing.more_to_read` says so, and ListRestOfFolder reads the rest, while
// the entries so far may be used.
bool ListFolder(const char* path, FolderListing& listing, std::intptr_t in_folder = -1,
                bool keep_open = false, bool first_part = false);

// Adds to `listing` the entries left to read of the folder open at `handle`,
// to its end, and the system's code if a read fails part way.
void ListRestOfFolder(std::intptr_t handle, FolderListing& listing);

// Closes a folder that ListFolder kept open; nothing for -1.
void CloseFolder(std::intptr_t handle);

// Lists `path` as ListFolder does, for the walk at the folder's turn: a folder
// that another program holds (on Windows, opened without sharing) is waited
// for as OpenCacheFileAtItsTurn waits for a cache file.
bool ListFolderAtItsTurn(const char* path, FolderListing& listing, std::intptr_t in_folder = -1,
                         bool keep_open = false, bool first_part = false);

// `path` made absolute against the current directory, "" being the directory
// itself; unchanged when it already is absolute. On Windows a name like a
// device's (CON, NUL, COM1) stays a name in its folder.
std::string AbsolutePath(const char* path);

}  // namespace artpeel::platform
