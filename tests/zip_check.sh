#!/usr/bin/env bash
# Checks the Windows zip the way a user meets it: it must hold artpeel.exe,
# README.md and LICENSE.txt in one folder and nothing else; unpacked, its
# artpeel.exe is run under Wine on the sample library in a scratch folder and
# its report and images are compared. Needs wine and file.
#   tests/zip_check.sh path/to/artpeel-VERSION-win64.zip
set -euo pipefail
(($# == 1)) || { echo "usage: zip_check.sh path/to/artpeel-VERSION-win64.zip" >&2; exit 2; }
zip=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export LC_ALL=C WINEDEBUG=-all

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

mkdir "$scratch/out"
library=$(winepath -w "$source_dir/examples/iTunes" 2>/dev/null)
status=0
(cd "$scratch/out" && wine "$scratch/$folder/artpeel.exe" "$library" >"$scratch/report.txt" 2>/dev/null) ||
  status=$?
[[ $status == 1 ]] || fail "artpeel.exe ended with status $status, not 1"
check_sample_run "$source_dir" "$scratch/out" "$scratch/report.txt"
echo "zip check: $(basename "$zip") holds artpeel.exe, README.md and LICENSE.txt; under Wine it reports and writes the 12 sample images"
