#!/usr/bin/env bash
# Checks the Windows zip the way a user meets it: it must hold artpeel.exe,
# README.md and LICENSE.txt in one folder and nothing else; unpacked, its
# artpeel.exe is run under Wine on the sample library in a scratch folder and
# its report and images are compared, once from the source tree and once from a
# copy in a folder named beyond ASCII; its resources must carry the zip's
# version and the UTF-8 manifest. Needs wine64 (or wine), file and mingw-w64's
# windres.
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

# The version in the file's properties is the zip's; the manifest makes the
# narrow services UTF-8.
version=${folder#artpeel-}
version=${version%-win64}
windres=$(command -v x86_64-w64-mingw32-windres) || fail "x86_64-w64-mingw32-windres is not installed"
resources=$("$windres" -i "$scratch/$folder/artpeel.exe" -O rc)
for expected in "VALUE \"ProductVersion\", \"$version\"" "VALUE \"FileVersion\", \"$version\"" \
                ">UTF-8</activeCodePage>"; do
  grep -qF -- "$expected" <<<"$resources" || fail "artpeel.exe's resources lack: $expected"
done

mkdir "$WINEPREFIX"
"$wineserver" -p </dev/null >"$scratch/wine.log" 2>&1
if ! "$wine" wineboot --init </dev/null >>"$scratch/wine.log" 2>&1; then
  cat "$scratch/wine.log" >&2
  fail "Wine could not set up its prefix"
fi
# Wine shows the root of the Linux file system as drive Z:, and takes Linux
# names in the locale's character set: UTF-8, for the names beyond ASCII.
run_sample() {
  local library=$1 out=$2 status=0
  mkdir "$out"
  (cd "$out" && LC_ALL=C.UTF-8 "$wine" "$scratch/$folder/artpeel.exe" "Z:${library//\//\\}" \
    </dev/null >"$out.txt" 2>>"$scratch/wine.log") || status=$?
  [[ $status == 1 ]] || fail "artpeel.exe ended with status $status, not 1"
  check_sample_run "$source_dir" "$out" "$out.txt"
}
run_sample "$source_dir/examples/iTunes" "$scratch/out"
named="$scratch/Библиотека Müller 音楽 🎵"
mkdir "$named"
cp -R "$source_dir/examples/iTunes" "$named/"
run_sample "$named/iTunes" "$scratch/out-named"
echo "zip check: $(basename "$zip") holds artpeel.exe $version, README.md and LICENSE.txt; under Wine it reports and writes the 12 sample images, also from a folder named beyond ASCII"
