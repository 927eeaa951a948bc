// Guards the reading of a mapped cache file against pages that cannot be read:
// a network share that drops, a USB stick pulled out, a bad sector (and, under
// Wine, a Linux process cutting the file short). Reading such a page raises an
// exception (EXCEPTION_IN_PAGE_ERROR, or an access violation where the pages are
// simply gone) that would end the process and lose every cache file after it.
//
// The reading runs on a fiber of its own. A vectored exception handler takes a
// read fault only when the program's own code raised it, on that fiber, at an
// address inside the view being read (the reader reads the view byte by byte,
// inline, and nothing else touches it: images are written by the system from
// the view, which reports a lost page as a failed write). It resumes the fiber,
// below the faulting frame, in a function that switches back to
// ReadMappedFileGuarded, which deletes the fiber, frames and all, and reports
// the file. Everything else (another address, a write, code of a system
// library, any other exception or thread) goes on to the handling the process
// has without the guard, so a real fault still ends the run.
//
// Only documented services are involved: a vectored handler may change the
// context and continue execution, the system then completes the exception's
// dispatch and resumes the thread with that context; switching fibers and
// deleting one that is not running are plain Win32 calls. Nothing jumps out of
// a handler, and no frame is unwound. (A program marked compatible with
// hardware-enforced stack protection would have to list AbandonRead as a
// continuation target; artpeel.exe is not so marked.)
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

struct GuardedRead {
  const MappedFile* file;
  void (*read_file)(const MappedFile& file, void* context);
  void* context;             // handed to read_file
  void* caller;              // the fiber to switch back to
  DWORD thread;              // the thread both fibers run on
  std::uintptr_t first;      // [first, end) is the view being read
  std::uintptr_t end;
  bool faulted = false;
};

// The read in progress: the exception handler learns its context from nothing
// else. While it is set, its thread runs on the reading fiber. Set only by
// ReadMappedFileGuarded; atomic, as the handler also runs for exceptions on
// other threads.
std::atomic<GuardedRead*> active_read{nullptr};

// Where the program's own code lies: the image this file is linked into.
struct CodeRange {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;
};

CodeRange OwnImage() {
  const auto base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  if (base == nullptr) return {};
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto first = reinterpret_cast<std::uintptr_t>(base);
  return {first, first + headers->OptionalHeader.SizeOfImage};
}

const CodeRange own_image = OwnImage();

void CALLBACK ReadOnFiber(void* /*parameter*/) {
  for (;;) {
    GuardedRead* const read = active_read.load(std::memory_order_relaxed);
    read->read_file(*read->file, read->context);
    SwitchToFiber(read->caller);
  }
}

// Where a read that faulted resumes. It is never returned to: the fiber is
// deleted while it waits in SwitchToFiber.
[[noreturn]] void AbandonRead() {
  GuardedRead* const read = active_read.load(std::memory_order_relaxed);
  read->faulted = true;
  SwitchToFiber(read->caller);
  for (;;) Sleep(INFINITE);
}

LONG CALLBACK HandleReadFault(EXCEPTION_POINTERS* pointers) {
  const GuardedRead* const read = active_read.load(std::memory_order_relaxed);
  if (read == nullptr || read->thread != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  const bool read_fault = (record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
                           record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION) &&
                          record.NumberParameters >= 2 && record.ExceptionInformation[0] == 0;
  const auto instruction = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  if (!read_fault || record.ExceptionInformation[1] < read->first ||
      record.ExceptionInformation[1] >= read->end || instruction < own_image.first ||
      instruction >= own_image.end) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
#if defined(__x86_64__) || defined(_M_X64)
  // x64 code keeps nothing below the stack pointer, so AbandonRead can run
  // there; the stack is aligned as on entry to a called function.
  CONTEXT& context = *pointers->ContextRecord;
  context.Rsp = ((context.Rsp - 256) & ~DWORD64{15}) - 8;
  context.Rip = reinterpret_cast<DWORD64>(&AbandonRead);
  return EXCEPTION_CONTINUE_EXECUTION;
#else
  return EXCEPTION_CONTINUE_SEARCH;
#endif
}

// The thread as a fiber, to switch back to; set up once, with the handler.
// Null when the system refuses either: reads then run unguarded.
void* CallerFiber() {
  static void* const caller = AddVectoredExceptionHandler(1, HandleReadFault) != nullptr
                                  ? ConvertThreadToFiber(nullptr)
                                  : nullptr;
  return caller;
}

// The fiber that reads; made again after a fault deleted it.
void* reading_fiber = nullptr;

}  // namespace

bool ReadMappedFileGuarded(const MappedFile& file,
                           void (*read_file)(const MappedFile& file, void* context),
                           void* context) {
  void* const caller = CallerFiber();
  if (caller != nullptr && reading_fiber == nullptr) {
    reading_fiber = CreateFiber(0, ReadOnFiber, nullptr);
  }
  // Nested in a guarded read, the outer guard already covers this one.
  if (reading_fiber == nullptr || active_read.load(std::memory_order_relaxed) != nullptr) {
    read_file(file, context);
    return true;
  }
  GuardedRead read{&file, read_file, context, caller, GetCurrentThreadId(),
                   reinterpret_cast<std::uintptr_t>(file.data),
                   reinterpret_cast<std::uintptr_t>(file.data) + file.size};
  active_read.store(&read, std::memory_order_relaxed);
  SwitchToFiber(reading_fiber);
  active_read.store(nullptr, std::memory_order_relaxed);
  if (read.faulted) {
    // Its frames hold nothing to release: see ReadMappedFileGuarded's contract.
    DeleteFiber(std::exchange(reading_fiber, nullptr));
    return false;
  }
  return true;
}

}  // namespace artpeel::platform
