#!/usr/bin/env bash
# The longer runs behind the interruption and device tests; CI runs a few dozen.
#
#   tests/interrupt_loop.sh [BUILD [RUNS]]    (defaults: build/test, 200)
#
# 1. Ends RUNS artpeel runs on a library of 4,000 images by SIGINT, SIGTERM or
#    SIGHUP at random moments, half of them into an empty folder and half over
#    the images of earlier runs, and checks after each that artpeel died by that
#    signal, that no temporary file is left, and that every file under an
#    image's name is the whole image.
# 2. Runs artpeel RUNS times on a folder whose cache file is swapped, again and
#    again, for a link to a FIFO and back, while a writer waits on the FIFO: if
#    artpeel ever opened it for reading, the writer would get through.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/test}")
runs=${2:-200}
artpeel=$build/artpeel
[[ -x $artpeel ]] || { echo "interrupt_loop: $artpeel is missing; build first" >&2; exit 2; }

work=$(mktemp -d)
background=()
cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The benchmark's writer of synthetic libraries: 2,000 cache files of two 20 KB images.
python3 -c 'import sys; sys.path.insert(0, "bench"); import bench
bench.write_synthetic(sys.argv[1], 2000, 2, 20000, 1)' "$work/lib"
mkdir "$work/whole" "$work/over"
(cd "$work/whole" && "$artpeel" "$work/lib" >/dev/null || true)
cp -a "$work/whole/." "$work/over/"

failures=0
fail() {
  echo "interrupt_loop: $*" >&2
  failures=$((failures + 1))
}

signals=(INT TERM HUP)
for ((run = 1; run <= runs; run++)); do
  signal=${signals[RANDOM % 3]}
  if ((run % 2)); then
    out=$work/over
  else
    out=$work/empty
    rm -rf "$out" && mkdir "$out"
  fi
  # A script's background jobs start with SIGINT ignored; env gives it back.
  (cd "$out" && exec env --default-signal=INT "$artpeel" "$work/lib" >/dev/null) &
  pid=$!
  sleep "$(printf '0.%03d' $((RANDOM % 700)))"
  kill -"$signal" "$pid" 2>/dev/null || true
  status=0
  wait "$pid" 2>/dev/null || status=$?
  # A run that finished before the signal came exits with 1.
  expected=$((128 + $(kill -l "$signal")))
  ((status == expected || status == 1)) || fail "run $run: SIG$signal, exit status $status"
  # Every file must be one of the whole run's, byte for byte; some may be missing.
  differences=$(diff -rq "$out" "$work/whole" | grep -v "^Only in $work/whole" || true)
  [[ -z $differences ]] || fail "run $run: SIG$signal: $differences"
done
echo "interrupt_loop: $runs interrupted runs, $failures failures"

# The swap: S/x.itc2 is, by turns, a regular cache file and a link to a FIFO.
mkdir -p "$work/swap/S" "$work/swap-out"
first_cache_file=$(find "$work/lib" -name '*.itc2' -print -quit)
cp "$first_cache_file" "$work/swap/S/regular"
mkfifo "$work/fifo"
(exec 3>"$work/fifo"; touch "$work/fifo-opened") &
background+=($!)
(
  cd "$work/swap/S"
  while :; do
    ln -f regular next && mv -fT next x.itc2
    ln -sfn "$work/fifo" next && mv -fT next x.itc2
  done
) &
background+=($!)
for ((run = 1; run <= runs; run++)); do
  (cd "$work/swap-out" && "$artpeel" "$work/swap" >/dev/null || true)
done
if [[ -e $work/fifo-opened ]]; then
  fail "the FIFO was opened during the swaps"
fi
echo "interrupt_loop: $runs runs during swaps"
((failures == 0))
