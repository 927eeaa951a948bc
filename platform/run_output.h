// What the run writes that an ending from outside (an ending signal, Ctrl+C,
// a closed console) must never cut in two: the steps of the working thread
// that make, rename or remove a temporary name, put an image under its name
// together with its report line, or write the report out; and the report
// itself, kept here on its way to standard output so that the ending can write
// out its last whole lines. Shared by the POSIX and the Win32 layer; how a run
// ends is each one's own (EndRunBetweenSteps, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace artpeel::platform {

// Makes sure that a run ended from outside (POSIX: SIGHUP, SIGINT, SIGQUIT,
// SIGTERM, its supervisor's death; Windows: Ctrl+C, Ctrl+Break, closing the
// console) leaves no temporary file of WriteFileReplacing behind, writes out
// its report to the last whole line, and leaves no progress line unended. On
// POSIX the run still ends by the signal that ended it. Called once by
// PrepareProcess; it lives with the writer, and a stand-in writer provides its
// own.
void InstallInterruptCleanup();

// ---- The working thread's side --------------------------------------------------

// A step begins and ends. Once an ending has begun, either call ends the run
// on the working thread (EndRunAtCheckpoint) instead of returning: no step
// begins after that, and the one under way is finished first.
void EnterStep();
void LeaveStep();

// Writes out what the report holds if `size` more bytes would not fit, so
// that a line of that size can then be added inside a step.
void MakeRoomInReport(std::size_t size);

// Adds whole lines to the report, into room made before (MakeRoomInReport):
// inside a step, the line of an image joins the report with the image.
void AppendToReport(std::string_view lines);

// Ends the run on the working thread, which finds it ending at a step or a
// report line: its own temporary name goes first; then, unless another thread
// took the ending on, what the run shows at its end is drawn
// (SetEndingSummary), so that it agrees with the report, and the run ends as
// EndRunBetweenSteps ends it.
[[noreturn]] void EndRunAtCheckpoint();

// ---- The ending's side ----------------------------------------------------------

// Marks the run as ending: no step begins from now on. False when it already was.
bool BeginEnding();

// Whether a thread has taken the ending on (TakeEnding).
bool EndingTaken();

// Takes the ending on for the calling thread: false when another thread took
// it first. Only the thread that took it ends the process (on Windows, a run
// that ends normally takes it too: NoteRunFinished).
bool TakeEnding();

// Whether a step is under way; once the run is ending and it is not, none
// ever is again.
bool StepUnderWay();

// Writes out the lines the report holds. For the thread that took the ending,
// once no step is under way; safe in a signal handler.
void WriteOutReport();

// For the thread that took an ending signal or event, once BeginEnding marked
// the run: waits a moment for the working thread to end the run at its next
// step or report line; a working thread that does not come (it lists folders,
// or waits on a share) is not waited for. Says how the ending stands then,
// half a second at most after it began.
enum class EndingState {
  kBetweenSteps,       // this thread has taken the ending on, no step under way
  kInStep,             // this thread has taken it on, a step held by a share
  kWithWorkingThread,  // the working thread took it on and waits still
};
EndingState TakeEndingFromWorkingThread();

// ---- Each layer's own -----------------------------------------------------------

// Removes the temporary name the writer may have left: on the working thread,
// or on the thread that took the ending once no step is under way.
void RemoveTemporaryName();

// Waits, on a thread that did not take the ending, for the one that did to
// end the run.
[[noreturn]] void AwaitRunEnd();

void SleepAMillisecond();

// Ends the run once no step is under way: ends the progress line, writes out
// the report, and ends the process as an ending from outside does.
[[noreturn]] void EndRunBetweenSteps();

// Writes `size` bytes to standard output: 0, or the system's code for why a
// write failed.
std::uint32_t WriteStandardOutput(const char* bytes, std::size_t size);

// Whether standard output is a terminal, which takes the report a line at a time.
bool ReportGoesToTerminal();

}  // namespace artpeel::platform
