# Sourced by the package checks: checks what one run of an installed or unpacked
# artpeel on examples/iTunes left behind.
#   check_sample_run SOURCE_DIR OUT_DIR REPORT_FILE
# OUT_DIR is the folder the run was made in, REPORT_FILE its standard output.
# Calls fail (defined by the caller) on the first difference.

# Blocks of a report (a "Dumping contents of" line and the lines below it) in
# sorted order: the walk follows the file system's listing order.
sorted_blocks() {
  awk '/^Dumping contents of / && NR > 1 { printf "\n" } { printf "%s\001", $0 } END { printf "\n" }' "$1" |
    LC_ALL=C sort | tr '\001' '\n'
}

check_sample_run() {
  local source_dir=$1 out=$2 report=$3
  if ! diff -u <(sorted_blocks "$source_dir/tests/golden/examples_report.txt") \
               <(sorted_blocks "$report"); then
    fail "the report differs from tests/golden/examples_report.txt"
  fi

  # Every image the report says it wrote is there with that many bytes, and
  # nothing else is (no temporary file left behind).
  local expected actual count
  expected=$(sed -n "s/.* wrote [A-Za-z]* image to file '\([^']*\)'(\([0-9]*\))$/\1 \2/p" "$report" |
    LC_ALL=C sort)
  actual=$(cd "$out" && find . -mindepth 1 -printf '%P %s\n' | LC_ALL=C sort)
  [[ $actual == "$expected" ]] ||
    fail "images written:"$'\n'"$actual"$'\n'"report says:"$'\n'"$expected"
  count=$(wc -l <<<"$actual")
  ((count == 12)) || fail "$count images written, not 12"

  # Each PNG is a picture of the size its name gives.
  local image name size description pictures=0
  for image in "$out"/*.png; do
    name=$(basename "$image" .png)
    size=${name##*-}
    description=$(file -b "$image")
    [[ $description == "PNG image data, ${size%x*} x ${size#*x},"* ]] ||
      fail "$name.png: $description"
    pictures=$((pictures + 1))
  done
  ((pictures == 11)) || fail "$pictures PNG images, not 11"
}
