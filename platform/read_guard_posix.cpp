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

// The read in progress: the address range it guards and where to resume when a
// page of it is lost.
struct ActiveGuard {
  sigjmp_buf resume;
  std::uintptr_t first = 0;  // [first, end) is the guarded mapping
  std::uintptr_t end = 0;
};

// A signal handler learns its context from nothing but variables like these: the
// guard of the read in progress on this thread, set and cleared only by
// ReadMappedFileGuarded, and the SIGBUS handling the process had before the
// guard's handler was installed. They are the reader's only state outside its
// frames.
thread_local ActiveGuard* active_guard = nullptr;
struct sigaction previous_handling = {};

void HandleBusError(int signal_number, siginfo_t* info, void* /*context*/) {
  ActiveGuard* const guard = active_guard;
  if (guard != nullptr) {
    // A page lost past the end of a mapped file faults as BUS_ADRERR (Linux) or
    // BUS_OBJERR (FreeBSD), depending on the system.
    const bool lost_page = info->si_code == BUS_ADRERR || info->si_code == BUS_OBJERR;
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (lost_page && address >= guard->first && address < guard->end) {
      siglongjmp(guard->resume, 1);
    }
  }
  // Not a lost page of a guarded file: hand the signal to the handling it had
  // before, for good. A fault recurs on return and meets that handling; a
  // signal sent by a process (POSIX: SI_USER, SI_QUEUE or a code of 0 or less,
  // which is where Linux puts them all) is raised again, as it is blocked until
  // this handler returns.
  sigaction(signal_number, &previous_handling, nullptr);
  if (info->si_code <= 0 || info->si_code == SI_USER || info->si_code == SI_QUEUE) {
    raise(signal_number);
  }
}

// The handler is installed once, at the first guarded read, and stays: guarded
// reads outnumber everything else the process does, and two sigaction calls per
// cache file are a cost the run does not need to pay. Between guarded reads it
// passes every SIGBUS on as above.
bool InstallHandlerOnce() {
  static bool installed = false;
  if (!installed) {
    struct sigaction handler = {};
    handler.sa_sigaction = HandleBusError;
    handler.sa_flags = SA_SIGINFO;
    sigemptyset(&handler.sa_mask);
    installed = sigaction(SIGBUS, &handler, &previous_handling) == 0;
  }
  return installed;
}

}  // namespace

bool ReadMappedFileGuarded(const MappedFile& file,
                           void (*read_file)(const MappedFile& file, void* context),
                           void* context) {
  if (!InstallHandlerOnce()) {
    read_file(file, context);
    return true;
  }
  ActiveGuard guard;
  guard.first = reinterpret_cast<std::uintptr_t>(file.data);
  guard.end = guard.first + file.size;
  ActiveGuard* const outer = active_guard;
  // The jump leaves the frames of read_file without unwinding them. That is sound
  // because the faults happen only where the reader reads header fields from the
  // mapping, in frames that hold nothing but integers and plain structs. The
  // payload is never touched in user space: write() from a lost page fails with
  // EFAULT instead of raising SIGBUS, so an export is never abandoned half-way
  // with a file open. The signal mask is not saved: sigsetjmp without it costs
  // no system call, and the jump out of the handler unblocks SIGBUS itself
  // (below).
  if (sigsetjmp(guard.resume, 0) != 0) {
    active_guard = outer;
    // The handler's frame was left by the jump, so the kernel never unblocked
    // the signal it was delivering.
    sigset_t bus_error;
    sigemptyset(&bus_error);
    sigaddset(&bus_error, SIGBUS);
    sigprocmask(SIG_UNBLOCK, &bus_error, nullptr);
    return false;
  }
  active_guard = &guard;
  read_file(file, context);
  active_guard = outer;
  return true;
}

}  // namespace artpeel::platform
