#!/usr/bin/env bash
# Checks the Windows zip the way a user meets it: it must hold artpeel.exe,
# README.md and LICENSE.txt in one folder and nothing else; unpacked, its
# artpeel.exe is run under Wine on the sample library in a scratch folder and
# its report and images are compared. Needs wine64 (or wine) and file.
#   tests/zip_check.sh path/to/artpeel-VERSION-win64.zip
set -euo pipefail
(($# == 1)) || { echo "usage: zip_check.sh path/to/artpeel-VERSION-win64.zip" >&2; exit 2; }
zip=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
scratch=$(mktemp -d)
export LC_ALL=C

# Wine in a prefix of the check's own. Its background services outlive the
# commands that start them, so they write to a log file, not to this script's
# output, and the wineserver is stopped at the end.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[[ -x $wine ]] || wine=$(command -v wine) || { echo "zip check: Wine is not installed" >&2; exit 2; }
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "zip check: $*" >&2
  exit 1
}
# shellcheck source=tests/sample_run_check.sh
source "$source_dir/tests/sample_run_check.sh"

folder=$(basename "$zip" .zip)
contents=$(cd "$scratch" && cmake -E tar tf "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.md" "$folder/artpeel.exe")
[[ $contents == "$expected" ]] || fail "the zip holds:"$'\n'"$contents"$'\n'"not:"$'\n'"$expected"
(cd "$scratch" && cmake -E tar xf "$zip")
cmp -s "$scratch/$folder/README.md" "$source_dir/README.md" || fail "README.md differs from the source's"
cmp -s "$scratch/$folder/LICENSE.txt" "$source_dir/LICENSE" || fail "LICENSE.txt differs from LICENSE"

mkdir "$scratch/out" "$WINEPREFIX"
"$wineserver" -p </dev/null >"$scratch/wine.log" 2>&1
if ! "$wine" wineboot --init </dev/null >>"$scratch/wine.log" 2>&1; then
  cat "$scratch/wine.log" >&2
  fail "Wine could not set up its prefix"
fi
# Wine shows the root of the Linux file system as drive Z:.
library="Z:${source_dir//\//\\}\\examples\\iTunes"
status=0
(cd "$scratch/out" &&
  "$wine" "$scratch/$folder/artpeel.exe" "$library" </dev/null >"$scratch/report.txt" 2>>"$scratch/wine.log") ||
  status=$?
[[ $status == 1 ]] || fail "artpeel.exe ended with status $status, not 1"
check_sample_run "$source_dir" "$scratch/out" "$scratch/report.txt"
echo "zip check: $(basename "$zip") holds artpeel.exe, README.md and LICENSE.txt; under Wine it reports and writes the 12 sample images"
