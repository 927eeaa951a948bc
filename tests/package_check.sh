#!/usr/bin/env bash
# Checks a built artpeel .deb the way a user meets it: installs it with apt-get,
# checks its control fields, runs the installed artpeel on the sample library in
# a scratch folder and compares its report and the images it wrote, reads the
# manual page with man, then removes the package again (also on failure).
# Needs root, man-db and file. An artpeel package already installed is replaced
# and is gone afterwards.
#   tests/package_check.sh path/to/artpeel_VERSION_ARCH.deb
set -euo pipefail
(($# == 1)) || { echo "usage: package_check.sh path/to/artpeel_VERSION_ARCH.deb" >&2; exit 2; }
deb=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
scratch=$(mktemp -d)
export LC_ALL=C
# shellcheck source=tests/sample_run_check.sh
source "$source_dir/tests/sample_run_check.sh"

fail() {
  echo "package check: $*" >&2
  exit 1
}

remove_package() {
  if dpkg -s artpeel >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge artpeel >/dev/null
  fi
  rm -rf "$scratch"
}
trap remove_package EXIT

# ---- The package's own description ---------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == artpeel ]] || fail "package name is '$(field Package)'"
[[ $(field Section) == utils ]] || fail "section is '$(field Section)', not utils"
[[ -n $(field Maintainer) ]] || fail "no maintainer"
[[ $(field Description) == *$'\n'* ]] || fail "no long description"
# Only the C and C++ runtime may be needed.
while IFS= read -r dependency; do
  name=${dependency%% *}
  case $name in
    libc6 | libstdc++6 | libgcc-s1) ;;
    *) fail "unexpected dependency '$dependency'" ;;
  esac
done < <(field Depends | tr ',' '\n' | sed 's/^ *//')

# ---- Install ---------------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
[[ $(command -v artpeel) == /usr/bin/artpeel ]] || fail "artpeel is not /usr/bin/artpeel"
dpkg-deb --contents "$deb" | grep -q ' \./usr/share/man/man1/artpeel\.1\.gz$' ||
  fail "the package holds no /usr/share/man/man1/artpeel.1.gz"
installed=(/usr/bin/artpeel)
# Slimmed-down systems tell dpkg to leave out manual pages and documents.
if grep -qsE '^path-exclude[= ]+/usr/share/(man|doc)' /etc/dpkg/dpkg.cfg.d/*; then
  echo "package check: this system leaves out manual pages; reading the one in the package"
  dpkg-deb --extract "$deb" "$scratch/package"
  manual_page=$scratch/package/usr/share/man/man1/artpeel.1.gz
else
  installed+=(/usr/share/man/man1/artpeel.1.gz /usr/share/doc/artpeel/copyright)
  manual_page=artpeel
fi
for path in "${installed[@]}"; do
  dpkg -L artpeel | grep -qx "$path" || fail "the package does not install $path"
  [[ -e $path ]] || fail "$path is missing after the install"
done

# ---- Run the installed program on the sample library -------------------------------
mkdir "$scratch/out"
status=0
(cd "$scratch/out" && artpeel "$source_dir/examples/iTunes" >"$scratch/report.txt") || status=$?
[[ $status == 1 ]] || fail "installed artpeel ended with status $status, not 1"
check_sample_run "$source_dir" "$scratch/out" "$scratch/report.txt"

# ---- The manual page, read as a user reads it ----------------------------------------
man_warnings=$(MANWIDTH=80 man --warnings "$manual_page" 2>&1 >"$scratch/man.txt") ||
  fail "man artpeel failed: $man_warnings"
[[ -z $man_warnings ]] || fail "man artpeel warns: $man_warnings"
grep -q '^ARTPEEL(1)' "$scratch/man.txt" || fail "man artpeel shows no ARTPEEL(1) page"
for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' FILES EXAMPLES; do
  grep -q "^$section\$" "$scratch/man.txt" || fail "the man page has no $section section"
done

# ---- Remove ------------------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge artpeel >/dev/null
[[ ! -e /usr/bin/artpeel && ! -e /usr/share/man/man1/artpeel.1.gz ]] ||
  fail "files are left after removing the package"
echo "package check: $(basename "$deb") installs, reports and writes the 12 sample images, has a clean man page, removes"
