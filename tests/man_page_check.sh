#!/usr/bin/env bash
# Checks the manual page and the README: the page must render without a single
# warning, and every report line and diagnostic the program can print must be
# described in both. The texts are taken from the printf, fprintf, PrintReport
# and PrintItemLine calls in the sources, so a line added to the program
# without its description fails here. The README's sample report must be lines
# of the sample library's report (tests/golden/examples_report.txt).
#   tests/man_page_check.sh SOURCE_DIR
set -euo pipefail
source_dir=${1:?usage: man_page_check.sh SOURCE_DIR}
page="$source_dir/man/artpeel.1"
failed=0

# Every renderer that is installed must take the page without a warning.
linters=0
if command -v mandoc >/dev/null; then
  linters=$((linters + 1))
  warnings=$(mandoc -T lint -W warning "$page" 2>&1 || true)
  [[ -z $warnings ]] || { printf 'mandoc warns:\n%s\n' "$warnings" >&2; failed=1; }
fi
if command -v groff >/dev/null; then
  linters=$((linters + 1))
  warnings=$(groff -ww -z -man "$page" 2>&1 || true)
  [[ -z $warnings ]] || { printf 'groff warns:\n%s\n' "$warnings" >&2; failed=1; }
fi
if ((linters == 0)); then
  # CI installs both; a developer's machine may have neither.
  echo "man_page_check: neither mandoc nor groff is installed, the page is not linted"
fi

# The page's text with the roff escapes used for report lines made plain.
text=$(sed -e "s/\\\\(aq/'/g" -e 's/\\-/-/g' -e 's/\\&//g' "$page")
readme=$(<"$source_dir/README.md")

# Every report call, joined onto one line, then its string literals.
calls=$(cat "$source_dir"/{cli,walk,cache,platform}/*.cpp | tr '\n' ' ' |
  grep -oE '(^|[^a-z_])(f?printf|PrintReport|PrintItemLine)\(([^)]|\)+[^;)])*\)+;' || true)
literals=$(grep -oE '"([^"\\]|\\.)*"' <<<"$calls" || true)
checked=0
while IFS= read -r literal; do
  # Drop the quotes, the tabs and line breaks, the item number's "[%2" and "] ",
  # and everything from the first conversion on: what is left is fixed text.
  fragment=${literal:1:${#literal}-2}
  fragment=${fragment//\\t/}
  fragment=${fragment//\\n/}
  fragment=${fragment#"[%2"}
  fragment=${fragment#"] "}
  fragment=${fragment%%%*}
  fragment=$(sed -e "s/[ '(:]*\$//" <<<"$fragment")
  ((${#fragment} >= 4)) || continue
  checked=$((checked + 1))
  if ! grep -qF -- "$fragment" <<<"$text"; then
    echo "man page does not describe the report line text: $fragment" >&2
    failed=1
  fi
  if ! grep -qF -- "$fragment" <<<"$readme"; then
    echo "README.md does not describe the report line text: $fragment" >&2
    failed=1
  fi
done <<<"$literals"

# The README's sample report: in a code block, a line that starts a cache
# file's block and the lines after it are the demo's own.
sample=$(awk '!/^    / { in_report = 0 }
  /^    Dumping contents of / { in_report = 1 }
  in_report && /^    (Dumping contents of |\t)/ { print substr($0, 5) }' "$source_dir/README.md")
samples=$(grep -c . <<<"$sample" || true)
if ((samples < 5)); then
  echo "README.md shows no sample report ($samples lines)" >&2
  failed=1
fi
while IFS= read -r line; do
  if ! grep -qxF -- "$line" "$source_dir/tests/golden/examples_report.txt"; then
    echo "README.md's sample report line is not the sample library's: $line" >&2
    failed=1
  fi
done <<<"$sample"

if ((checked < 15)); then
  echo "man_page_check: found only $checked report texts in the sources" >&2
  failed=1
fi
((failed == 0)) &&
  echo "man page: $linters renderers take it cleanly; it and the README describe all $checked report texts;" \
       "the README's $samples sample lines are the demo's"
exit "$failed"
