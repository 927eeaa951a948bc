// Guards the reading of a mapped cache file against another process cutting the
// file short. A read of a mapped page that now lies wholly past the file's end
// raises SIGBUS; the handler below turns that fault into a jump back to
// ReadMappedFileGuarded, which reports it, instead of the end of the process.
#include "platform/platform.h"

#include <pthread.h>
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

// Sent by a process (kill, sigqueue) rather than raised by a fault. POSIX
// names SI_USER and SI_QUEUE; Linux gives every code of a sender 0 or less.
bool SentByAProcess(const siginfo_t& info) {
  return info.si_code <= 0 || info.si_code == SI_USER || info.si_code == SI_QUEUE;
}

void HandleBusError(int signal_number, siginfo_t* info, void* context) {
  ActiveGuard* const guard = active_guard;
  if (guard != nullptr) {
    // A page lost past the end of a mapped file faults as BUS_ADRERR (Linux) or
    // BUS_OBJERR (FreeBSD), depending on the system; a page of it that the
    // memory holding it has failed, as BUS_MCEERR_AR.
    bool lost_page = info->si_code == BUS_ADRERR || info->si_code == BUS_OBJERR;
#ifdef BUS_MCEERR_AR
    lost_page = lost_page || info->si_code == BUS_MCEERR_AR;
#endif
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (lost_page && address >= guard->first && address < guard->end) {
      siglongjmp(guard->resume, 1);
    }
  }
#ifdef BUS_MCEERR_AO
  // A notice that memory was found failing somewhere ("action optional"),
  // sent ahead of any read of it: the read that meets it faults then, guarded
  // or not. Nothing is lost yet, and the run goes on.
  if (info->si_code == BUS_MCEERR_AO) return;
#endif
  // Anything else is not ours: the handling the process had before takes it,
  // and this handler stays for the guarded reads to come. A handler of its own
  // is called as the system would have called it.
  const struct sigaction& previous = previous_handling;
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  // A signal sent by a process, ignored before, stays ignored; by default it
  // ends the run, raised again (blocked until this handler returns) under the
  // default handling. A fault outside a guarded read recurs on return and
  // meets that handling, which ends the run.
  if (SentByAProcess(*info) && previous.sa_handler == SIG_IGN) return;
  sigaction(signal_number, &previous, nullptr);
  if (SentByAProcess(*info)) raise(signal_number);
}

// The handler is installed once, at the first guarded read, and stays: guarded
// reads outnumber everything else the process does, and two sigaction calls per
// cache file are a cost the run does not need to pay. Between guarded reads it
// hands every SIGBUS on as above.
// Helpers read views ahead too, so the first guarded read may come on two
// threads at once: the handler goes in under the static's one-time
// initialisation.
bool InstallHandlerOnce() {
  static const bool installed = [] {
    struct sigaction handler = {};
    handler.sa_sigaction = HandleBusError;
    handler.sa_flags = SA_SIGINFO;
    sigemptyset(&handler.sa_mask);
    return sigaction(SIGBUS, &handler, &previous_handling) == 0;
  }();
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
    pthread_sigmask(SIG_UNBLOCK, &bus_error, nullptr);
    return false;
  }
  active_guard = &guard;
  read_file(file, context);
  active_guard = outer;
  return true;
}

}  // namespace artpeel::platform
