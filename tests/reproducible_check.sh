#!/usr/bin/env bash
# Checks that the packages rebuild byte for byte: runs the package workflow
# again in a clone of this repository's HEAD and compares every file listed in
# PACKAGE_DIR/SHA256SUMS, and SHA256SUMS itself, with the rebuild's.
#
#   tests/reproducible_check.sh [PACKAGE_DIR]     (default build/package)
#
# The rebuild differs from the first build in all that must not matter: its
# folder (on tmpfs when /dev/shm is at hand, so another file system), its time
# (it starts later), its umask (0002), its time zone (UTC+14) and, when run as
# root, its user (65534, who owns the clone). SOURCE_DATE_EPOCH is passed on
# when set; otherwise both builds take the last commit's time. Also checks
# that no program in the packages holds either build's folder.
set -euo pipefail
source_dir=$(realpath "$(dirname "$0")/..")
first=$(realpath "${1:-$source_dir/build/package}")
export LC_ALL=C

fail() {
  echo "reproducible check: $*" >&2
  exit 1
}
[[ -f $first/SHA256SUMS ]] || fail "$first/SHA256SUMS is missing (run cmake --workflow --preset package)"
if [[ -n $(git -C "$source_dir" status --porcelain --untracked-files=no) ]]; then
  fail "the source has uncommitted changes; the rebuild is made from HEAD: commit them first"
fi
mapfile -t artifacts < <(awk '{ print $2 }' "$first/SHA256SUMS")
((${#artifacts[@]} > 0)) || fail "$first/SHA256SUMS lists no package"

parent=/tmp
if [[ -d /dev/shm && -w /dev/shm ]]; then parent=/dev/shm; fi
scratch=$(mktemp -d -p "$parent")
trap 'rm -rf "$scratch"' EXIT
clone=$scratch/elsewhere/artpeel
git clone -q --no-hardlinks "$source_dir" "$clone"

as_other_user=()
if (($(id -u) == 0)); then
  chown -R 65534:65534 "$scratch"
  as_other_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi
echo "reproducible check: rebuilding in $clone (umask 0002, TZ=UTC-14${as_other_user:+, user 65534})"
if ! (cd "$clone" && umask 0002 &&
      "${as_other_user[@]}" env HOME="$scratch" TZ=Etc/GMT-14 \
        cmake --workflow --preset package >"$scratch/rebuild.log" 2>&1); then
  tail -n 40 "$scratch/rebuild.log" >&2
  fail "the rebuild failed"
fi
second=$clone/build/package

differ=0
for artifact in "${artifacts[@]}" SHA256SUMS; do
  if cmp -s "$first/$artifact" "$second/$artifact"; then
    continue
  fi
  differ=1
  echo "reproducible check: $artifact differs between $first and $second" >&2
  case $artifact in
    *.deb) diff <(dpkg-deb --info "$first/$artifact"; dpkg-deb --contents "$first/$artifact") \
                <(dpkg-deb --info "$second/$artifact"; dpkg-deb --contents "$second/$artifact") >&2 || true ;;
    *.zip) diff <(unzip -Zv "$first/$artifact") <(unzip -Zv "$second/$artifact") >&2 || true ;;
    *.rpm) diff <(rpm -qpi --dump "$first/$artifact") <(rpm -qpi --dump "$second/$artifact") >&2 || true ;;
    *.tar.gz) diff <(tar -tvzf "$first/$artifact") <(tar -tvzf "$second/$artifact") >&2 || true ;;
  esac
done
((differ == 0)) || fail "the packages are not reproducible"

# Neither build's folder is named in any program packed (an assertion's file
# name, debug information).
unpacked=$scratch/unpacked
for artifact in "${artifacts[@]}"; do
  mkdir -p "$unpacked/$artifact"
  case $artifact in
    *.deb) dpkg-deb --extract "$first/$artifact" "$unpacked/$artifact" ;;
    *.zip | *.tar.gz) (cd "$unpacked/$artifact" && cmake -E tar xf "$first/$artifact") ;;
    *.rpm) rpm2cpio "$first/$artifact" | (cd "$unpacked/$artifact" && cpio -idm --quiet) ;;
  esac
done
if grep -rlaF -e "$source_dir" -e "$clone" "$unpacked"; then
  fail "the files above name a build folder"
fi
echo "reproducible check: ${artifacts[*]} and SHA256SUMS rebuilt byte for byte"
