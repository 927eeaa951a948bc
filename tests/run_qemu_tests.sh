#!/usr/bin/env bash
# Runs an artpeel built for another CPU (arm64 or s390x) under qemu-user: once
# on the sample library, then the end-to-end tests of a Linux build against it.
#
#   tests/run_qemu_tests.sh PROGRAM [LINUX_BUILD]
#
# PROGRAM is such a build of artpeel (build/s390x/artpeel, or usr/bin/artpeel
# unpacked from the arm64 .deb); LINUX_BUILD defaults to build/test, whose
# e2e_tests must be built. Needs qemu-user and the CPU's cross runtime in
# /usr/<triplet> (the cross compiler's packages bring it), and file.
#
# The sample run starts PROGRAM as a shell would when the kernel hands such
# programs to qemu by itself (the binfmt_misc entries of qemu-user-static;
# .ci/run registers them), and through qemu otherwise. The end-to-end tests
# always name qemu as the launcher (ARTPEEL_TEST_LAUNCHER), whatever the
# kernel does, so that they know the program runs inside an emulator: qemu
# reserves far more address space than a `ulimit -v` test leaves, so the test
# of a file too large to map under such a limit is skipped, and the test of
# many files runs under its descriptor limit alone.
set -euo pipefail
(($# >= 1 && $# <= 2)) || { echo "usage: run_qemu_tests.sh PROGRAM [LINUX_BUILD]" >&2; exit 2; }
program=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
linux_build=$(realpath "${2:-$source_dir/build/test}")
export LC_ALL=C

fail() {
  echo "run_qemu_tests: $*" >&2
  exit 1
}

case $(file -b "$program") in
  *"ARM aarch64"*) cpu=aarch64 triplet=aarch64-linux-gnu ;;
  *"IBM S/390"*) cpu=s390x triplet=s390x-linux-gnu ;;
  *) fail "$program is not an arm64 or s390x program: $(file -b "$program")" ;;
esac
qemu=$(command -v "qemu-$cpu") || fail "qemu-$cpu is not installed (apt-get install qemu-user)"
sysroot=/usr/$triplet
[[ -d $sysroot/lib ]] || fail "$sysroot/lib is missing (apt-get install g++-$triplet)"
[[ -x $linux_build/tests/e2e_tests ]] || fail "$linux_build/tests/e2e_tests is missing (build the test preset)"
# qemu takes the loader and libraries of the emulated system from here, whether
# the kernel or a command line starts it.
export QEMU_LD_PREFIX=$sysroot

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/sample_run_check.sh
source "$source_dir/tests/sample_run_check.sh"

start=("$qemu")
how="through $qemu"
if usage=$("$program" 2>/dev/null) && [[ $usage == usage:* ]]; then
  start=()
  how="directly (the kernel hands it to qemu)"
fi
mkdir "$scratch/out"
status=0
(cd "$scratch/out" && "${start[@]}" "$program" "$source_dir/examples/iTunes" >"$scratch/report.txt") ||
  status=$?
[[ $status == 1 ]] || fail "artpeel for $cpu ended with status $status, not 1"
check_sample_run "$source_dir" "$scratch/out" "$scratch/report.txt"
echo "run_qemu_tests: artpeel for $cpu, started $how, reports and writes the 12 sample images"

# qemu 7.2 (Debian 12) hands an s390x program's SIGBUS handler the fault
# address with its two 32-bit halves swapped, so the read guard cannot tell a
# lost page of the cache file it reads from any other bus error (a real s390x
# kernel gives the page's address): the test of a cache file cut short while it
# is read is left out there, and runs on every other CPU.
left_out=()
if [[ $cpu == s390x ]]; then
  left_out=(-E '^LargeCacheFiles\.FileCutShortWhileReadEndsItsReportAndTheWalkGoesOn$')
  echo "run_qemu_tests: leaving out ${left_out[1]} (qemu's SIGBUS address on s390x)"
fi
# Two at a time, the longest first (ctest's record of their times): each keeps
# about one processor busy.
echo "run_qemu_tests: end-to-end tests on artpeel for $cpu under $qemu"
ARTPEEL_TEST_BINARY=$program \
ARTPEEL_TEST_LAUNCHER="$qemu -L $sysroot" \
  ctest --test-dir "$linux_build" -L '^e2e$' "${left_out[@]}" -j2 --no-tests=error \
  --output-on-failure </dev/null
