#!/usr/bin/env bash
# Runs the tests of the Windows build under Wine: the unit tests built for
# Windows, then the end-to-end tests of the Linux build pointed at artpeel.exe.
#
#   tests/run_windows_tests.sh [LINUX_BUILD [WINDOWS_BUILD]]
#
# The folders default to build/test and build/windows, the binary folders of the
# test and windows presets; both must be built first.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=$(realpath "${1:-build/test}")
windows_build=$(realpath "${2:-build/windows}")
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

for program in "$wine" "$linux_build/tests/e2e_tests" "$windows_build/artpeel.exe" \
               "$windows_build/tests/unit_tests.exe" "$windows_build/tests/platform_tests.exe" \
               "$windows_build/tests/hold_open.exe" "$windows_build/tests/new_console.exe" \
               "$windows_build/tests/explorer.exe"; do
  if [[ ! -f $program ]]; then
    echo "run_windows_tests: $program is missing (install wine64; build the test and windows presets)" >&2
    exit 2
  fi
done

# A Wine prefix of the run's own, set up once and kept alive by a wineserver
# that waits a minute after its last program ends, so that each of the many
# short runs of the tests starts quickly, and that still goes away by itself
# should this script be killed before it can stop it.
work=$(mktemp -d)
# Wine takes Linux file names and command lines in the locale's character set:
# names beyond ASCII reach Windows programs whole only in a UTF-8 locale.
export LC_ALL=C.UTF-8
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine's background services outlive the command that starts them and keep its
# output open: they get a log file, or whoever reads this script's output would
# wait for them.
echo "run_windows_tests: setting up a Wine prefix in $WINEPREFIX"
# A new console (the tests of a run started by Explorer make one) needs a
# window: with no display, Wine's console host cannot make one and quits, and
# the console answers no call. Wine's null display driver makes windows that
# nobody sees; the Wine desktop that the setup started without it goes with a
# new wineserver.
set_up_prefix() {
  rm -rf "$WINEPREFIX" && mkdir "$WINEPREFIX"
  "$wineserver" -p60 </dev/null >>"$work/wine.log" 2>&1
  "$wine" wineboot --init </dev/null >>"$work/wine.log" 2>&1 &&
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
      </dev/null >>"$work/wine.log" 2>&1
}
# Wine's first setup of a prefix now and then fails on a busy machine (a
# service it starts is not found yet); a second, from scratch, goes through.
if ! set_up_prefix; then
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  if ! set_up_prefix; then
    cat "$work/wine.log" >&2
    exit 1
  fi
fi
"$wineserver" -k && "$wineserver" -w
"$wineserver" -p60 </dev/null >>"$work/wine.log" 2>&1

status=0
for unit_tests in unit_tests platform_tests; do
  echo "run_windows_tests: $unit_tests.exe"
  timeout -k 10 300 "$wine" "$windows_build/tests/$unit_tests.exe" </dev/null || status=1
done

# The end-to-end tests, each under ctest's deadline (TIMEOUT in
# tests/CMakeLists.txt), each wait for a run of artpeel.exe under a minute's.
# A run can hang for good in Wine's own exit (its main thread ended, another
# thread left waiting for a lock in NtTerminateProcess); the tests note those
# in $deadlocks, and each such test runs once more.
echo "run_windows_tests: end-to-end tests on artpeel.exe"
deadlocks=$work/wine-deadlocks
export ARTPEEL_TEST_PLATFORM=windows ARTPEEL_TEST_RUNNER=$wine \
  ARTPEEL_TEST_BINARY=$windows_build/artpeel.exe \
  ARTPEEL_TEST_HOLD_OPEN=$windows_build/tests/hold_open.exe \
  ARTPEEL_TEST_NEW_CONSOLE=$windows_build/tests/new_console.exe \
  ARTPEEL_TEST_WINE_DEADLOCKS=$deadlocks
run_e2e() {
  ctest --test-dir "$linux_build" -L '^e2e$' --output-on-failure "$@" </dev/null
}
if ! run_e2e; then
  failed=$(cut -d: -f2 "$linux_build/Testing/Temporary/LastTestsFailed.log")
  for test in $failed; do
    if ! grep -qxF "$test" "$deadlocks" 2>/dev/null; then
      status=1
      continue
    fi
    echo "run_windows_tests: $test met Wine's own deadlock at exit (artpeel.exe's" \
         "main thread ended, another thread left waiting in Wine); running it once more"
    run_e2e -R "^${test//./\\.}\$" || status=1
  done
fi

exit $status
