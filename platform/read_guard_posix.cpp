// Guards the reading of a mapped cache file against another process cutting the
// file short. A read of a mapped page that now lies wholly past the file's end
// raises SIGBUS; the handler below turns that fault into a jump back to
// ReadMappedFileGuarded, which reports it, instead of the end of the process.
#include "platform/platform.h"

#include <setjmp.h>
#include <signal.h>

#include <cstdint>

namespace artpeel::platform {

namespace {

// The read in progress: the address range it guards, where to resume when a
// page of it is lost, and the SIGBUS handling to put back afterwards.
struct ActiveGuard {
  sigjmp_buf resume;
  std::uintptr_t first = 0;  // [first, end) is the guarded mapping
  std::uintptr_t end = 0;
  struct sigaction previous = {};
};

// A signal handler learns its context from nothing but a variable like this one:
// the guard of the read in progress on this thread, set and cleared only by
// ReadMappedFileGuarded. It is the reader's one piece of state outside its frames.
thread_local ActiveGuard* active_guard = nullptr;

void HandleBusError(int signal_number, siginfo_t* info, void* /*context*/) {
  ActiveGuard* const guard = active_guard;
  if (guard == nullptr) {
    // Only a signal sent in the instant before the guard is set gets here.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  // A page lost past the end of a mapped file faults as BUS_ADRERR (Linux) or
  // BUS_OBJERR (FreeBSD), depending on the system.
  const bool lost_page = info->si_code == BUS_ADRERR || info->si_code == BUS_OBJERR;
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (lost_page && address >= guard->first && address < guard->end) {
    siglongjmp(guard->resume, 1);
  }
  // Not a lost page of the guarded file: hand the signal to the handling it had
  // before. A fault recurs on return and meets that handling; a signal sent by
  // a process (POSIX: SI_USER, SI_QUEUE or a code of 0 or less, which is where
  // Linux puts them all) is raised again, as it is blocked until this returns.
  sigaction(signal_number, &guard->previous, nullptr);
  if (info->si_code <= 0 || info->si_code == SI_USER || info->si_code == SI_QUEUE) {
    raise(signal_number);
  }
}

}  // namespace

bool ReadMappedFileGuarded(const MappedFile& file, void (*read_file)(const MappedFile& file)) {
  ActiveGuard guard;
  guard.first = reinterpret_cast<std::uintptr_t>(file.data);
  guard.end = guard.first + file.size;
  struct sigaction handler = {};
  handler.sa_sigaction = HandleBusError;
  handler.sa_flags = SA_SIGINFO;
  sigemptyset(&handler.sa_mask);
  if (sigaction(SIGBUS, &handler, &guard.previous) != 0) {
    read_file(file);
    return true;
  }
  ActiveGuard* const outer = active_guard;
  // The jump leaves the frames of read_file without unwinding them. That is sound
  // because the faults happen only where the reader reads header fields from the
  // mapping, in frames that hold nothing but integers and plain structs. The
  // payload is never touched in user space: write() from a lost page fails with
  // EFAULT instead of raising SIGBUS, so an export is never abandoned half-way
  // with a file open. The mask is saved so that the jump unblocks SIGBUS again.
  if (sigsetjmp(guard.resume, 1) != 0) {
    sigaction(SIGBUS, &guard.previous, nullptr);
    active_guard = outer;
    return false;
  }
  active_guard = &guard;
  read_file(file);
  sigaction(SIGBUS, &guard.previous, nullptr);
  active_guard = outer;
  return true;
}

}  // namespace artpeel::platform
