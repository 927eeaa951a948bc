// The report's buffer and the working thread's steps (run_output.h). The
// state is read and written with the compiler's atomics, sequentially
// consistent, which a signal handler may use too. (libstdc++'s <atomic> needs
// the C library's GNU extensions, which the POSIX layer is built without, as
// on macOS.)
#include "platform/run_output.h"

#include <cstring>

#include "platform/platform.h"

namespace artpeel::platform {

namespace {

// The run's state: a step under way, the ending begun, the ending taken on by
// a thread (the working thread's, or the one that took the signal).
enum : int { kInStep = 1, kEnding = 2, kEndingTaken = 4 };
int run_state = 0;

int State() { return __atomic_load_n(&run_state, __ATOMIC_SEQ_CST); }

// The report's lines not written out yet: [0, filled) holds whole lines only.
// Only the working thread adds to it, and only in a step does it write it out
// and empty it; the thread that ends the run writes out what it holds once no
// step is under way. 4 KiB, the block the C library's stdio gives a file or a
// pipe here: as many writes, and no more of the report held back.
constexpr std::size_t kReportCapacity = std::size_t{4} << 10;
char report[kReportCapacity];
std::size_t filled = 0;
std::uint32_t first_write_error = 0;
int to_terminal = -1;  // ReportGoesToTerminal, asked once

std::size_t Filled() { return __atomic_load_n(&filled, __ATOMIC_SEQ_CST); }

void NoteWriteError(std::uint32_t error) {
  if (first_write_error == 0) first_write_error = error;
}

// Writes out the report inside a step, and empties it. Bytes a failed write
// could not take are dropped, as stdio drops them.
void WriteOutInStep() {
  const std::size_t size = Filled();
  if (size > 0) NoteWriteError(WriteStandardOutput(report, size));
  __atomic_store_n(&filled, std::size_t{0}, __ATOMIC_SEQ_CST);
}

void WriteOutAsStep() {
  EnterStep();
  WriteOutInStep();
  LeaveStep();
}

// How long the thread that took an ending waits for the working thread to end
// the run at its next step or report line, and for a step under way to end.
constexpr int kWorkingThreadMs = 100;
constexpr int kStepMs = 500;

void (*ending_summary)(void* context) = nullptr;
void* ending_summary_context = nullptr;

}  // namespace

void EnterStep() {
  int expected = 0;
  if (!__atomic_compare_exchange_n(&run_state, &expected, kInStep, false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST)) {
    EndRunAtCheckpoint();
  }
}

void LeaveStep() {
  if ((__atomic_fetch_and(&run_state, ~kInStep, __ATOMIC_SEQ_CST) & kEnding) != 0) {
    EndRunAtCheckpoint();
  }
}

void MakeRoomInReport(std::size_t size) {
  if (size > kReportCapacity - Filled()) WriteOutAsStep();
}

void AppendToReport(std::string_view lines) {
  if (lines.empty()) return;  // an image written with no line to say so (tests)
  const std::size_t start = Filled();
  if (lines.size() > kReportCapacity - start) {
    // Longer than the whole buffer: written out at once, after what it holds.
    WriteOutInStep();
    NoteWriteError(WriteStandardOutput(lines.data(), lines.size()));
    return;
  }
  std::memcpy(report + start, lines.data(), lines.size());
  __atomic_store_n(&filled, start + lines.size(), __ATOMIC_SEQ_CST);
}

void AddToReport(std::string_view lines) {
  if (State() != 0) EndRunAtCheckpoint();  // no step is under way on this thread
  MakeRoomInReport(lines.size());
  if (lines.size() > kReportCapacity) {
    EnterStep();
    AppendToReport(lines);
    LeaveStep();
    return;
  }
  AppendToReport(lines);
  if (to_terminal < 0) to_terminal = ReportGoesToTerminal() ? 1 : 0;
  if (to_terminal == 1) WriteOutAsStep();
}

std::uint32_t FlushReport() {
  WriteOutAsStep();
  return first_write_error;
}

void SetEndingSummary(void (*draw)(void* context), void* context) {
  ending_summary = draw;
  ending_summary_context = context;
}

bool BeginEnding() {
  return (__atomic_fetch_or(&run_state, kEnding, __ATOMIC_SEQ_CST) & kEnding) == 0;
}

bool EndingTaken() { return (State() & kEndingTaken) != 0; }

bool TakeEnding() {
  return (__atomic_fetch_or(&run_state, kEndingTaken, __ATOMIC_SEQ_CST) & kEndingTaken) == 0;
}

bool StepUnderWay() { return (State() & kInStep) != 0; }

EndingState TakeEndingFromWorkingThread() {
  for (int waited = 0; waited < kStepMs; ++waited) {
    if (!EndingTaken() && waited >= kWorkingThreadMs && !StepUnderWay()) break;
    SleepAMillisecond();
  }
  if (!TakeEnding()) return EndingState::kWithWorkingThread;
  return StepUnderWay() ? EndingState::kInStep : EndingState::kBetweenSteps;
}

void WriteOutReport() {
  const std::size_t size = Filled();
  if (size > 0) WriteStandardOutput(report, size);
}

void EndRunAtCheckpoint() {
  RemoveTemporaryName();
  if (!TakeEnding()) AwaitRunEnd();
  if (ending_summary != nullptr) ending_summary(ending_summary_context);
  EndRunBetweenSteps();
}

}  // namespace artpeel::platform
