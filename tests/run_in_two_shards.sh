#!/usr/bin/env bash
# Runs a GoogleTest program as two shards side by side (GTEST_TOTAL_SHARDS),
# showing each shard's output once it has ended; fails where either fails.
#
#   tests/run_in_two_shards.sh PROGRAM [ARGUMENTS...]
#
# The end-to-end tests under qemu or in an empty root run one test at a time,
# each mostly one process busy: two shards keep a CI machine's two processors
# busy. The tests already run side by side under ctest, each in folders of its own.
set -uo pipefail
(($# >= 1)) || { echo "usage: run_in_two_shards.sh PROGRAM [ARGUMENTS...]" >&2; exit 2; }
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
pids=()
for shard in 0 1; do
  GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard "$@" </dev/null >"$logs/$shard" 2>&1 &
  pids+=("$!")
done
status=0
for shard in 0 1; do
  wait "${pids[$shard]}" || status=1
  cat "$logs/$shard"
done
exit "$status"
