// POSIX: how a run ended from outside ends. The ending signals (kEndingSignals,
// and kParentDeathSignal when the supervisor dies) are taken by a thread of
// their own (TakeEndingSignals), not by a handler on whichever thread they
// land on: a thread blocked in the kernel on a share that stopped answering
// runs no handler until the share answers, and only a signal under its default
// action ends such a wait, with every thread of the process.
//
// The working thread ends the run itself at its next step or report line
// (run_output.h): its temporary name goes, the progress summary is drawn, the
// report is written out, and the run dies by the signal. A working thread
// that does not come within a moment (it lists folders, or waits on a share)
// is not waited for: the ending thread ends the run once no step is under way.
// The ending signal claimed first is the one the run ends by, whatever it
// meets after it: a second ending signal, a reader gone.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ending_signals_posix.h"
#include "platform/platform.h"
#include "platform/run_ending_posix.h"
#include "platform/run_output.h"

namespace artpeel::platform {

namespace {

EndingNotes own_notes = {};
EndingNotes* notes = &own_notes;

// The signals the run takes as its ending; set before any thread starts.
sigset_t ending_signals;
bool taken_by_thread = false;  // by TakeEndingSignals, not by handlers
// Ample for the ending: removing a name, drawing the summary, writing out
// the report.
constexpr std::size_t kEndingThreadStackBytes = std::size_t{128} << 10;

// Calls `take` with each signal the run takes as its ending.
template <typename Take>
void ForEachEndingSignal(Take take) {
  for (const int signal_number : kEndingSignals) take(signal_number);
  take(kParentDeathSignal);
}

void MarkCleanedUp() { __atomic_store_n(&notes->cleaned_up, true, __ATOMIC_SEQ_CST); }

// Ends the run by `signal_number` from the thread that took it.
[[noreturn]] void EndRun(int signal_number) {
  // When this thread claims the ending, every ending signal has its default
  // action from here on and reaches this thread: a second one ends the run at
  // once, also while a step waits on a share that stopped answering. When the
  // supervisor claimed it first, passing the signal on, it may come a second
  // time (the terminal sends it to both): the ending signals stay blocked, and
  // the supervisor ends a run that does not end in time.
  if (ClaimRunEnding(signal_number)) {
    ForEachEndingSignal([](int ending) {
      if (sigismember(&ending_signals, ending) == 1) signal(ending, SIG_DFL);
    });
    pthread_sigmask(SIG_UNBLOCK, &ending_signals, nullptr);
  }
  BeginEnding();
  if (TakeEndingFromWorkingThread() == EndingState::kBetweenSteps) EndRunBetweenSteps();
  // A step held in the kernel: its temporary name is left to the writer, or
  // to the supervisor, which kills such a run; the report's last lines cannot
  // be told from those under way. Or the working thread took the ending on,
  // its name gone, and waits on a reader or a share: the run ends without it.
  EndProgressLineOnInterrupt();
  MarkCleanedUp();
  DieBySignal(ClaimedEndingSignal());
}

void* TakeEndingSignals(void* /*unused*/) {
  int signal_number = 0;
  while (sigwait(&ending_signals, &signal_number) != 0) {
  }
  EndRun(signal_number);
}

// The same from a handler, where no ending thread could be started: it takes
// no lock, changes no mask and waits for no one. A step under way is left to
// the working thread, which ends the run as it leaves it.
void EndRunInHandler(int signal_number) {
  ClaimRunEnding(signal_number);
  const int ending = ClaimedEndingSignal();
  const bool first = BeginEnding();
  if (first && (StepUnderWay() || !TakeEnding())) return;
  if (first) {
    RemoveTemporaryName();
    EndProgressLineOnInterrupt();
    WriteOutReport();
    MarkCleanedUp();
  }
  // Raised under its default action and blocked until this handler returns,
  // the signal ends the run then; a second one ends it at once.
  signal(ending, SIG_DFL);
  raise(ending);
}

// SIGPIPE comes from a write to a pipe whose reader has gone, on the thread
// that wrote: the report's, when no temporary name exists. Once the run is
// ending, it changes nothing: the write fails, and the ending goes on.
void EndProgressLineAndDie(int signal_number) {
  if (ClaimedEndingSignal() != 0) return;
  EndProgressLineOnInterrupt();
  // Raised again under its default action, the signal ends the process as soon
  // as this handler returns (it is blocked until then).
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

bool Ignored(int signal_number) {
  struct sigaction previous;
  return sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN;
}

}  // namespace

EndingNotes& Notes() { return *notes; }

bool TemporaryNameArmed() { return __atomic_load_n(&notes->name_armed, __ATOMIC_SEQ_CST); }

void ArmTemporaryName(bool armed) {
  __atomic_store_n(&notes->name_armed, armed, __ATOMIC_SEQ_CST);
}

void RemoveTemporaryName() {
  if (!TemporaryNameArmed()) return;
  unlink(notes->temporary_name);
  ArmTemporaryName(false);
}

void AwaitRunEnd() {
  // Where the supervisor claimed the ending, it kills a run that does not end
  // in time (a thread held by a share, a report no one reads); should it be
  // gone first, the run ends at once on being told so.
  for (int taken = 0;;) {
    if (!taken_by_thread) pause();
    if (taken_by_thread && sigwait(&ending_signals, &taken) == 0 && taken == kParentDeathSignal) {
      DieBySignal(ClaimedEndingSignal());
    }
  }
}

void SleepAMillisecond() {
  const struct timespec millisecond = {0, 1000000};
  nanosleep(&millisecond, nullptr);
}

void EndRunBetweenSteps() {
  RemoveTemporaryName();
  // The shell's prompt then starts on a line of its own.
  EndProgressLineOnInterrupt();
  WriteOutReport();
  MarkCleanedUp();
  DieBySignal(ClaimedEndingSignal());
}

std::uint32_t WriteStandardOutput(const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? static_cast<std::uint32_t>(errno) : EIO;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

bool ReportGoesToTerminal() { return isatty(STDOUT_FILENO) == 1; }

void InstallInterruptCleanup() {
  sigemptyset(&ending_signals);
  // A signal the run was started with ignored (nohup, a background job of a
  // script) stays ignored.
  ForEachEndingSignal([](int signal_number) {
    if (!Ignored(signal_number)) sigaddset(&ending_signals, signal_number);
  });
  // Blocked here, before any other thread starts, they are blocked in every
  // thread, and only sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &ending_signals, nullptr);
  // A small stack: the default one (as large as `ulimit -s`, 8 MiB as a rule)
  // would come out of the address space that `ulimit -v` leaves the views.
  pthread_t ending_thread;
  pthread_attr_t attributes;
  taken_by_thread = pthread_attr_init(&attributes) == 0;
  if (taken_by_thread) {
    pthread_attr_setstacksize(&attributes, kEndingThreadStackBytes);
    taken_by_thread =
        pthread_create(&ending_thread, &attributes, TakeEndingSignals, nullptr) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (taken_by_thread) {
    pthread_detach(ending_thread);
  } else {
    // No thread to take them: each ends the run from a handler instead, which
    // a thread blocked on a share runs only once the share answers.
    struct sigaction action = {};
    action.sa_handler = EndRunInHandler;
    action.sa_mask = ending_signals;
    ForEachEndingSignal([&action](int signal_number) {
      if (sigismember(&ending_signals, signal_number) == 1) {
        sigaction(signal_number, &action, nullptr);
      }
    });
    pthread_sigmask(SIG_UNBLOCK, &ending_signals, nullptr);
  }
  if (!Ignored(SIGPIPE)) {
    struct sigaction action = {};
    action.sa_handler = EndProgressLineAndDie;
    sigaction(SIGPIPE, &action, nullptr);
  }
}

bool ShareEndingNotesWithSupervisor() {
  void* page = mmap(nullptr, sizeof(EndingNotes), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return false;
  notes = static_cast<EndingNotes*>(page);  // zeroed: no name, no ending, no supervisor
  return true;
}

void NoteSupervisor(pid_t supervisor) { notes->supervisor = supervisor; }

bool ClaimRunEnding(int signal_number) {
  int unclaimed = 0;
  return __atomic_compare_exchange_n(&notes->ending_signal, &unclaimed, signal_number, false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

int ClaimedEndingSignal() { return __atomic_load_n(&notes->ending_signal, __ATOMIC_SEQ_CST); }

bool RunCleanedUp() { return __atomic_load_n(&notes->cleaned_up, __ATOMIC_SEQ_CST); }

const char* TemporaryNameOfRun() { return TemporaryNameArmed() ? notes->temporary_name : nullptr; }

void NoteRunFinished(int status) {
  // Only the supervisor the run recorded hears of it, and only while it is
  // still the run's parent: never a shell that started an unsupervised run,
  // nor a process that took the id of a supervisor gone.
  const pid_t supervisor = notes->supervisor;
  if (supervisor == 0 || getppid() != supervisor) return;
  __atomic_store_n(&notes->finished, 1 + status, __ATOMIC_SEQ_CST);
  // The supervisor hears of it as of the run's end, which a helper held in the
  // kernel may put off.
  kill(supervisor, SIGCHLD);
}

bool RunFinished(int& status) {
  const int finished = __atomic_load_n(&notes->finished, __ATOMIC_SEQ_CST);
  status = finished - 1;
  return finished != 0;
}

}  // namespace artpeel::platform
