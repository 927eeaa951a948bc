// Trying again what another program refuses for a moment. Windows programs
// open files without sharing all the time, each for a moment: a virus scanner
// looking at a file just written, the search indexer, a backup or sync client,
// the music library program, another artpeel. An operation such a holder
// refuses is tried again until it goes through or about a second has passed.
#pragma once

#include <windows.h>

namespace artpeel::platform {

// Whether `error` says that another process holds the file: it opened the file
// without the sharing asked for, or locked a range of it. Neither comes from
// the file's permissions or its absence, which trying again cannot change; a
// file being deleted while another process still holds it is refused as
// denied, which a denial by permissions is too, and is not taken for a hold.
inline bool HeldByAnotherProcess(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Runs `attempt` (it returns NO_ERROR or the error it failed with) again while
// `held(error)` takes its failure for another process's hold, until about a
// second has passed since the first try; returns the last try's error. The
// pauses are 1, 2, 4, 8 and 16 ms, then 25 ms: most holds are short (another
// artpeel reads a cache file in a few ms, a scanner looks at a small file in
// tens), and a try every 25 ms after that sees a holder let go within 25 ms
// for some 40 tries a second, each an open or a rename. The second is counted
// by the clock, since Sleep can round a pause up to the timer's tick.
template <typename Attempt, typename Held>
DWORD RetryWhileHeld(Attempt attempt, Held held) {
  constexpr ULONGLONG kRetryMilliseconds = 1000;
  constexpr DWORD kLongestPause = 25;
  const ULONGLONG started = GetTickCount64();
  for (DWORD pause = 1;; pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause) {
    const DWORD error = attempt();
    if (error == NO_ERROR || !held(error) || GetTickCount64() - started >= kRetryMilliseconds) {
      return error;
    }
    Sleep(pause);
  }
}

}  // namespace artpeel::platform
