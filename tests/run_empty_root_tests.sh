#!/usr/bin/env bash
# Runs a static artpeel as a user of any Linux gets it: unpacked from its
# tarball and run in an empty root, a chroot that holds the program and what
# it reads and nothing else (no C library, no loader, no /etc, no /proc):
# once on the sample library, then the end-to-end tests of a Linux build
# against it.
#
#   tests/run_empty_root_tests.sh TARBALL [LINUX_BUILD]
#
# TARBALL is artpeel-VERSION-linux-x86_64.tar.gz or -linux-aarch64.tar.gz;
# LINUX_BUILD defaults to build/test, whose e2e_tests must be built. The
# aarch64 program runs under qemu-user: qemu-aarch64-static (package
# qemu-user-static), a static program itself, is put into the root beside it.
# Needs root (chroot and bind mounts), util-linux's unshare and file.
#
# The tests and the root share their files through bind mounts at the same
# paths, in a mount namespace of this script's own that ends with it: a
# scratch folder (the program, and TMPDIR for the tests), the sample library
# and the fuzz corpus (read-only), and /dev/null, which two tests link cache
# files to. Each run of artpeel enters the root through a small script
# (unshare --root), as a runner (x86-64) or with qemu as a launcher (aarch64).
# The runs of the tests that drop to user 65534 enter it in a user namespace
# of their own, which lets them chroot and gives them no privilege.
set -euo pipefail
(($# >= 1 && $# <= 2)) || { echo "usage: run_empty_root_tests.sh TARBALL [LINUX_BUILD]" >&2; exit 2; }
tarball=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
linux_build=$(realpath "${2:-$source_dir/build/test}")
export LC_ALL=C
# User 65534 passes through every folder made here to the program and the
# tests' folders.
umask 022

fail() {
  echo "empty root: $*" >&2
  exit 1
}
(($(id -u) == 0)) || fail "needs root, for chroot and bind mounts"
[[ -x $linux_build/tests/e2e_tests ]] || fail "$linux_build/tests/e2e_tests is missing (build the test preset)"

# The rest runs in a mount namespace of its own; the scratch folder is made
# and removed outside it, where its bind mounts were never seen.
if [[ -z ${EMPTY_ROOT_SCRATCH:-} ]]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  chmod 755 "$scratch"
  EMPTY_ROOT_SCRATCH=$scratch unshare --mount --propagation private "$BASH" "$0" "$@"
  exit
fi
scratch=$EMPTY_ROOT_SCRATCH
root=$scratch/root
work=$scratch/work
# shellcheck source=tests/sample_run_check.sh
source "$source_dir/tests/sample_run_check.sh"

# ---- The tarball -------------------------------------------------------------------
folder=$(basename "$tarball" .tar.gz)
cpu=${folder##*-linux-}
case $cpu in
  x86_64 | aarch64) ;;
  *) fail "$(basename "$tarball") is not artpeel-VERSION-linux-x86_64.tar.gz or -aarch64.tar.gz" ;;
esac
listing=$(tar -tvzf "$tarball" | awk '{ print $1, $2, $6 }')
expected="drwxr-xr-x 0/0 $folder/
-rw-r--r-- 0/0 $folder/LICENSE
-rw-r--r-- 0/0 $folder/README.md
-rwxr-xr-x 0/0 $folder/artpeel
-rw-r--r-- 0/0 $folder/artpeel.1"
[[ $listing == "$expected" ]] || fail "the tarball holds:"$'\n'"$listing"$'\n'"not:"$'\n'"$expected"
mkdir -p "$work/tmp" "$root/dev"
tar -xzf "$tarball" -C "$work"
for document in README.md LICENSE man/artpeel.1; do
  cmp -s "$work/$folder/$(basename "$document")" "$source_dir/$document" ||
    fail "$(basename "$document") differs from the source's $document"
done
program=$work/artpeel
mv "$work/$folder/artpeel" "$program"
description=$(file -b "$program")
[[ $description == *"static-pie linked"* ]] || fail "artpeel is not a static-pie program: $description"

# ---- The root ------------------------------------------------------------------------
shared=("$work" "$source_dir/examples" "$source_dir/tests/corpus")
for path in "${shared[@]}"; do
  mkdir -p "$root$path"
done
mount --bind "$work" "$root$work"
for path in "${shared[@]:1}"; do
  mount -o bind,ro "$path" "$root$path"
done
touch "$root/dev/null"
mount --bind /dev/null "$root/dev/null"
launcher=()
if [[ $cpu == aarch64 ]]; then
  qemu=$(command -v qemu-aarch64-static) || fail "qemu-aarch64-static is missing (apt-get install qemu-user-static)"
  cp "$qemu" "$root/qemu-aarch64-static"
  launcher=(/qemu-aarch64-static)
fi
in_root=$work/in-root
cat >"$in_root" <<EOF
#!/bin/sh
# Runs a command in the empty root $root, in the folder of the same path.
if [ "\$(id -u)" = 0 ]; then exec unshare --root='$root' --wd="\$(pwd)" "\$@"; fi
exec unshare --map-current-user --root='$root' --wd="\$(pwd)" "\$@"
EOF
chmod 755 "$in_root" "$work" "$work/tmp"
echo "empty root: $root holds /dev/null${launcher:+, $launcher} and, at their own paths, the program's" \
     "folder, the sample library and the fuzz corpus"

# ---- The sample library ------------------------------------------------------------------
mkdir "$work/out"
status=0
(cd "$work/out" && "$in_root" "${launcher[@]}" "$program" "$source_dir/examples/iTunes" \
   >"$scratch/report.txt") || status=$?
[[ $status == 1 ]] || fail "artpeel for $cpu ended with status $status, not 1"
check_sample_run "$source_dir" "$work/out" "$scratch/report.txt"
rm -rf "$work/out"
echo "empty root: artpeel for $cpu from $(basename "$tarball") reports and writes the 12 sample images"

# ---- The end-to-end tests ------------------------------------------------------------------
# On x86-64 the script is the runner and nothing is named as a launcher, so
# that the test under an address-space limit runs too; qemu as the launcher
# tells the tests that the program runs inside an emulator, which reserves
# more address space than that test leaves (tests/run_qemu_tests.sh).
environment=(ARTPEEL_TEST_BINARY="$program" TMPDIR="$work/tmp")
if ((${#launcher[@]})); then
  environment+=(ARTPEEL_TEST_LAUNCHER="$in_root ${launcher[*]}")
else
  environment+=(ARTPEEL_TEST_RUNNER="$in_root")
fi
echo "empty root: end-to-end tests on artpeel for $cpu in $root"
# Two at a time, the longest first, as under qemu (tests/run_qemu_tests.sh).
env "${environment[@]}" ctest --test-dir "$linux_build" -L '^e2e$' -j2 --no-tests=error \
  --output-on-failure </dev/null
