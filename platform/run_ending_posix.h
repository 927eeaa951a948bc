// POSIX: what the run and the process that supervises it (supervisor_posix.cpp)
// share about the run's ending, in memory both can reach: the temporary name
// the run may have left, the ending signal claimed first, how far the ending
// has got, whether the run has finished. The writer (output_file_posix.cpp)
// keeps them; a stand-in writer provides its own.
#pragma once

#include <limits.h>
#include <signal.h>
#include <sys/types.h>

namespace artpeel::platform {

// Starts the run in a child process and returns in it; the calling process
// becomes the run's supervisor and never returns. It stays in the run's
// process group on the same terminal, passes the ending signals on, and ends
// as the run ends: by the ending signal it claimed first, whatever the run met
// after it, or else by the run's exit status or the signal it died of. A run
// held in the kernel after an ending signal (a request on a share whose server
// has stopped answering) is killed, its temporary name removed, and the
// supervisor ends by the signal at once. Should the supervisor die, the run is
// sent kParentDeathSignal, which it takes as an ending signal. Where no child
// can be made the run goes on unsupervised. Called by PrepareProcess before
// any thread starts.
void SuperviseRun();

// What the run takes, with the ending signals, when its supervisor dies: not
// one of them, so that it reaches a run that ignores those (nohup).
inline constexpr int kParentDeathSignal = SIGUSR2;

// The notes themselves. The flags and numbers are read and written with the
// compiler's atomics, sequentially consistent.
struct EndingNotes {
  char temporary_name[PATH_MAX];  // what the writer may have left, if armed
  bool name_armed;
  int ending_signal;  // 0 until the run or its supervisor claims the ending
  bool cleaned_up;    // the run has done all it does before it dies by that signal
  int finished;       // 1 + the exit status, once the run has written all it writes
  pid_t supervisor;   // 0 where the run is not supervised
};

// The run's notes: its own until ShareEndingNotesWithSupervisor moves them.
EndingNotes& Notes();

// Whether the writer's temporary name exists, or may: set before it is made,
// cleared once it is renamed or removed.
bool TemporaryNameArmed();
void ArmTemporaryName(bool armed);

// Moves what the ending needs to know into memory the supervisor shares; false
// when there is none to be had. Called before the child is made.
bool ShareEndingNotesWithSupervisor();

// Notes in the child that `supervisor` supervises the run: only that process
// hears of the run's end (NoteRunFinished).
void NoteSupervisor(pid_t supervisor);

// Claims the ending of the run for `signal_number`: true for the first claim,
// whether the run made it on taking the signal or the supervisor on passing it on.
bool ClaimRunEnding(int signal_number);

// The signal the ending was claimed for first; 0 while none was.
int ClaimedEndingSignal();

// Whether the run has removed its temporary name, ended its progress line and
// written out its report after an ending signal, and is dying by it.
bool RunCleanedUp();

// The temporary name the run may have left behind, or null.
const char* TemporaryNameOfRun();

// Whether the run has noted that it has finished (NoteRunFinished), and with
// which exit status.
bool RunFinished(int& status);

}  // namespace artpeel::platform
