#!/usr/bin/env bash
# Checks an artpeel RPM the way a user of any RPM system meets it: installs it
# with rpm into a throwaway root that holds nothing else (no C library, no
# other package; --nodeps, since that root provides nothing), checks what it
# asks for and the files it placed (the documents and the manual page against
# the source's), runs the installed program in that root on the sample library
# (the aarch64 one under qemu-user, with qemu-aarch64-static put into the
# root), and removes it again. Needs root, rpm, util-linux's unshare and file.
#   tests/rpm_check.sh path/to/artpeel-VERSION-1.CPU.rpm
set -euo pipefail
(($# == 1)) || { echo "usage: rpm_check.sh path/to/artpeel-VERSION-1.CPU.rpm" >&2; exit 2; }
package=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
export LC_ALL=C

fail() {
  echo "rpm check: $*" >&2
  exit 1
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/sample_run_check.sh
source "$source_dir/tests/sample_run_check.sh"
root=$scratch/root

# Debian's rpm says on standard error that it should not be used; it is shown
# only when a command fails.
rpm_quietly() {
  rpm "$@" 2>"$scratch/rpm.log" || { cat "$scratch/rpm.log" >&2; fail "rpm $* failed"; }
}

# ---- What the package asks for -------------------------------------------------------
cpu=$(rpm -qp --queryformat '%{ARCH}' "$package" 2>/dev/null)
requires=$(rpm -qp --requires "$package" 2>/dev/null | grep -v '^rpmlib(' || true)
[[ -z $requires ]] || fail "the package asks for more than rpm itself:"$'\n'"$requires"

# ---- Install ---------------------------------------------------------------------------
mkdir "$root"
# rpm installs a package for another CPU only when told to.
foreign=()
[[ $cpu == "$(uname -m)" ]] || foreign=(--ignorearch)
rpm_quietly --root "$root" --nodeps "${foreign[@]}" --install "$package"
installed=$(rpm --root "$root" --query --list artpeel 2>/dev/null)
expected="/usr/bin/artpeel
/usr/share/doc/artpeel
/usr/share/doc/artpeel/CHANGELOG.md
/usr/share/doc/artpeel/README.md
/usr/share/licenses/artpeel
/usr/share/licenses/artpeel/LICENSE
/usr/share/man/man1/artpeel.1.gz"
[[ $installed == "$expected" ]] || fail "the package installs:"$'\n'"$installed"$'\n'"not:"$'\n'"$expected"
# Each file as the package records it: size, digest, permissions, owner, time.
rpm_quietly --root "$root" --verify artpeel
[[ $(stat -c '%A %U' "$root/usr/bin/artpeel") == "-rwxr-xr-x root" ]] ||
  fail "/usr/bin/artpeel is $(stat -c '%A %U' "$root/usr/bin/artpeel")"
description=$(file -b "$root/usr/bin/artpeel")
[[ $description == *"static-pie linked"* ]] || fail "/usr/bin/artpeel is not a static-pie program: $description"
cmp -s "$root/usr/share/doc/artpeel/README.md" "$source_dir/README.md" || fail "README.md differs from the source's"
cmp -s "$root/usr/share/licenses/artpeel/LICENSE" "$source_dir/LICENSE" || fail "LICENSE differs from the source's"
gzip -dc "$root/usr/share/man/man1/artpeel.1.gz" | cmp -s - "$source_dir/man/artpeel.1" ||
  fail "the manual page differs from man/artpeel.1"

# ---- Run the installed program in that root on the sample library ------------------------
launcher=()
if [[ $cpu == aarch64 ]]; then
  qemu=$(command -v qemu-aarch64-static) || fail "qemu-aarch64-static is missing (apt-get install qemu-user-static)"
  cp "$qemu" "$root/qemu-aarch64-static"
  launcher=(/qemu-aarch64-static)
fi
cp -R "$source_dir/examples/iTunes" "$root/iTunes"
mkdir "$root/out"
status=0
unshare --root="$root" --wd=/out "${launcher[@]}" /usr/bin/artpeel /iTunes >"$scratch/report.txt" 2>/dev/null ||
  status=$?
[[ $status == 1 ]] || fail "the installed artpeel ended with status $status, not 1"
check_sample_run "$source_dir" "$root/out" "$scratch/report.txt"
rm -rf "$root/iTunes" "$root/out" "$root/qemu-aarch64-static"

# ---- Remove ------------------------------------------------------------------------------
rpm_quietly --root "$root" --erase artpeel
left=$(cd "$root" && find usr -type f)
[[ -z $left ]] || fail "files are left after removing the package:"$'\n'"$left"
echo "rpm check: $(basename "$package") asks for nothing but rpm, installs its 5 files into an empty root, runs there on the sample library (12 images), removes"
