// What a run shows on a terminal while it works: one line on standard error,
// rewritten in place, with the cache files read and the images written so far,
// and a closing summary in its place at the end. Shown only when standard error
// is a terminal and standard output is not (the report kept in a file or piped
// on); otherwise nothing at all is written for it, but for the summary of a run
// whose console stays open for its user at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "cache/report.h"

namespace artpeel {

struct Progress {
  DumpTally tally;     // counted by the dumps, shown or not
  bool shown = false;  // this run shows the line and the summary
  bool summary_shown = false;  // the summary, with or without the line
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point next_update;  // no redraw before it
  std::size_t line_length = 0;  // of the line on the terminal; 0 when none is
};

// Starts the run's clock and decides whether the run shows its progress. A run
// whose console stays open at the end (`console_held_open`) shows the summary
// there too, after the report: by then a big report has scrolled away.
Progress StartProgress(bool console_held_open);

// Called after each cache file: draws the tally on the terminal, at most five
// times a second and not in the run's first half second, so a short run shows
// no line. Without a terminal to show it on, reads no clock either.
void UpdateProgress(Progress& progress);

// Takes the line off the terminal, so that a diagnostic can be written to
// standard error on a line of its own; the next update draws it again.
void ClearProgress(Progress& progress);

// Puts the closing summary, which stays, in the line's place.
void FinishProgress(Progress& progress);

// What the line says after "artpeel: ", and what the summary says after it
// when the run took `elapsed`.
std::string ProgressText(const DumpTally& tally);
std::string SummaryText(const DumpTally& tally, std::chrono::steady_clock::duration elapsed);

}  // namespace artpeel
