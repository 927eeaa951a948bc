// POSIX: the run goes on in a child process, supervised by the process the user
// started. A thread waiting on a share can hold its process in the kernel
// whatever signal comes (a FUSE request that the file system's server has taken
// waits for its answer, SIGKILL or not), and the user's terminal then waits
// with it; the supervisor never touches a share, so it can always end. It
// passes the ending signals on and gives the run a short time to end as it ends
// unsupervised; a run that has not ended by then is killed, dies when the
// kernel lets it go without running another line, and the supervisor removes
// the temporary name it may have left and ends by the signal. Both processes
// are in one process group on one terminal, so job control, the terminal's
// checks and its stops (SIGTSTP, SIGTTIN, SIGTTOU) reach both as they reached
// the run; SIGTSTP and SIGCONT sent to the supervisor alone are passed on. The
// ending signal the supervisor or the run claims first is how both end,
// whatever the run meets after it (a reader gone, a second signal). Should the
// supervisor die, the run takes kParentDeathSignal as an ending signal.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if ARTPEEL_HAVE_PRCTL
#include <sys/prctl.h>
#endif

#include "platform/ending_signals_posix.h"
#include "platform/platform.h"
#include "platform/run_ending_posix.h"

namespace artpeel::platform {

namespace {

// After an ending signal: how long the run has to end by itself; how long a run
// that has cleaned up, or has been killed, has to be gone before it is taken
// to be held in the kernel; how long the removal of its temporary name may take.
constexpr int kEndingMs = 500;
constexpr int kGoneMs = 100;
constexpr int kRemovalMs = 200;

// SIGCHLD is only ever taken by sigwait. A handler of its own makes sure that it
// is not discarded (some systems drop a blocked signal whose action is to
// ignore it) and that the run's exit status is kept (SIG_IGN would drop it).
void TakenBySigwait(int /*unused*/) {}

long long NowMs() { return static_cast<long long>(MonotonicMicroseconds() / 1000); }

void SleepAMoment() {
  const struct timespec moment = {0, 2000000};
  nanosleep(&moment, nullptr);
}

bool Gone(pid_t child, int& status) { return waitpid(child, &status, WNOHANG) == child; }

// Waits at most `ms` for `child` to be gone.
bool GoneWithin(pid_t child, int ms, int& status) {
  for (const long long deadline = NowMs() + ms; !Gone(child, status);) {
    if (NowMs() >= deadline) return false;
    SleepAMoment();
  }
  return true;
}

// Removes the temporary name the run left, from a process of its own: in an
// output folder on a share that stopped answering, it is that process which
// waits, until the share answers.
void RemoveTemporaryNameOfRun() {
  const char* name = TemporaryNameOfRun();
  if (name == nullptr) return;
  const pid_t remover = fork();
  if (remover == 0) _exit(unlink(name) == 0 ? 0 : 1);
  int status = 0;
  if (remover > 0) GoneWithin(remover, kRemovalMs, status);
}

[[noreturn]] void EndBySignal(int signal_number) {
  // A run that dumped core has done so; the supervisor makes no core of its own.
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
#if ARTPEEL_HAVE_PRCTL
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // also where cores go to a program
#endif
  DieBySignal(signal_number);
}

// Ends as the run ended, with `status`; once an ending signal was claimed,
// by that signal.
[[noreturn]] void EndAsRunEnded(int status) {
  RemoveTemporaryNameOfRun();
  if (const int claimed = ClaimedEndingSignal(); claimed != 0) EndBySignal(claimed);
  if (WIFSIGNALED(status)) EndBySignal(WTERMSIG(status));
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// Stops the run, then the supervisor, on SIGTSTP; both go on again on SIGCONT,
// which the supervisor then passes on.
void StopWithRun(pid_t run) {
  kill(run, SIGTSTP);
  // The shell, seeing the supervisor stop, takes the run to be stopped: it is,
  // unless it is held in the kernel (it stops when let go) or has ended.
  int status = 0;
  for (const long long deadline = NowMs() + kEndingMs; NowMs() < deadline; SleepAMoment()) {
    if (waitpid(run, &status, WNOHANG | WUNTRACED) != run) continue;
    if (!WIFSTOPPED(status)) EndAsRunEnded(status);
    break;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(SIGTSTP);  // its default action: stopped here until SIGCONT
  sigprocmask(SIG_BLOCK, &stop, nullptr);
}

// The run's ending after the supervisor took `signal_number`.
[[noreturn]] void EndRunBy(pid_t run, int signal_number, const sigset_t& ending) {
  // A run that took the signal itself (the terminal sends it to both) has it;
  // passed on a second time, it would end the run before it has cleaned up.
  if (ClaimRunEnding(signal_number)) {
    kill(run, signal_number);
    kill(run, SIGCONT);  // a stopped run takes it at once
  }
  int status = 0;
  bool cleaned_up = false;
  for (long long deadline = NowMs() + kEndingMs; !Gone(run, status);) {
    sigset_t pending;
    sigpending(&pending);
    bool again = false;  // a second ending signal ends the run at once
    for (const int ending_signal : kEndingSignals) {
      again = again || (sigismember(&ending, ending_signal) == 1 &&
                        sigismember(&pending, ending_signal) == 1);
    }
    if (!cleaned_up && RunCleanedUp()) {
      cleaned_up = true;
      if (deadline > NowMs() + kGoneMs) deadline = NowMs() + kGoneMs;
    }
    if (again || NowMs() >= deadline) {
      // Held in the kernel, or too slow: killed, the run makes no more names
      // once the system call under way, if any, returns.
      kill(run, SIGKILL);
      GoneWithin(run, kGoneMs, status);
      RemoveTemporaryNameOfRun();
      EndBySignal(ClaimedEndingSignal());
    }
    SleepAMoment();
  }
  EndAsRunEnded(status);
}

}  // namespace

void SuperviseRun() {
  sigset_t ending;  // as the run takes them: a signal ignored from the start stays so
  sigemptyset(&ending);
  for (const int signal_number : kEndingSignals) {
    struct sigaction action;
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      sigaddset(&ending, signal_number);
    }
  }
  sigset_t taken = ending;
  sigaddset(&taken, SIGCHLD);
  sigaddset(&taken, SIGCONT);
  // A run started with SIGTSTP blocked or ignored never stops on it: nor does
  // its supervisor, which would stop alone.
  sigset_t original_mask;
  sigprocmask(SIG_BLOCK, nullptr, &original_mask);
  struct sigaction stop_action;
  if (sigaction(SIGTSTP, nullptr, &stop_action) == 0 && stop_action.sa_handler != SIG_IGN &&
      sigismember(&original_mask, SIGTSTP) == 0) {
    sigaddset(&taken, SIGTSTP);
  }
  // Blocked before the child is made, so that none is missed or acted on.
  sigprocmask(SIG_BLOCK, &taken, nullptr);
  struct sigaction noted = {};
  noted.sa_handler = TakenBySigwait;
  noted.sa_flags = SA_NOCLDSTOP;
  struct sigaction original_child_action;
  sigaction(SIGCHLD, &noted, &original_child_action);

  const pid_t supervisor = getpid();
  const pid_t run = ShareEndingNotesWithSupervisor() ? fork() : -1;
  if (run <= 0) {
    // The run (or, with no child, this process): the signals as they were, but
    // the ending ones stay blocked for the thread that takes them.
    sigaction(SIGCHLD, &original_child_action, nullptr);
    for (const int signal_number : kEndingSignals) {
      if (sigismember(&ending, signal_number) == 1) sigaddset(&original_mask, signal_number);
    }
    if (run == 0) {
      NoteSupervisor(supervisor);
#if ARTPEEL_HAVE_PRCTL
      // The run ends with its supervisor: told by a signal of its own, which
      // it takes as an ending signal, removing its temporary name first.
      signal(kParentDeathSignal, SIG_DFL);
      sigaddset(&original_mask, kParentDeathSignal);
      prctl(PR_SET_PDEATHSIG, kParentDeathSignal, 0, 0, 0);
      // A supervisor gone already: nothing is written yet.
      if (getppid() != supervisor) raise(SIGKILL);
#endif
    }
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    return;
  }
  for (;;) {
    int signal_number = 0;
    if (sigwait(&taken, &signal_number) != 0) continue;
    int status = 0;
    if (signal_number == SIGTSTP) {
      StopWithRun(run);
    } else if (signal_number == SIGCONT) {
      kill(run, SIGCONT);
    } else if (signal_number != SIGCHLD) {
      EndRunBy(run, signal_number, ending);
    } else if (Gone(run, status)) {
      EndAsRunEnded(status);
    } else if (int finished = 0; RunFinished(finished)) {
      // Everything is written; what keeps the run from ending can only be a
      // helper held in the kernel.
      if (!GoneWithin(run, kEndingMs, status)) {
        kill(run, SIGKILL);
        _exit(finished);
      }
      EndAsRunEnded(status);
    }
  }
}

}  // namespace artpeel::platform
