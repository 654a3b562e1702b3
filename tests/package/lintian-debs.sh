#!/bin/sh
# lintian's verdict on the packages scripts/build-debs.sh built, the
# -dbgsym ones included (the .changes names them all): no error and no
# warning, nor the notes on hardening and misspelt texts in the programs.
# Usage: lintian-debs.sh OUTDIR VERSION
set -u
CHANGES="$1/procward_$2_amd64.changes"
[ -f "$CHANGES" ] || { echo "FAIL: $CHANGES was not built"; exit 1; }
command -v lintian >/dev/null || { echo "FAIL: lintian is not installed (scripts/install-deps.sh)"; exit 1; }

log="$(mktemp)"
lintian --display-info --fail-on none "$CHANGES" >"$log" 2>&1
status=$?
# lintian warns on its own standard error when run as root; that is no tag.
output="$(grep -v 'running with root privileges' "$log")"
echo "$output"
[ $status -eq 0 ] || { echo "FAIL: lintian did not run"; exit 1; }
bad="$(echo "$output" | grep -E '^[EW]: |^I: [^ ]+: hardening-')"

# A misspelt word lintian finds in a program is a fault when it is in the
# program's texts (.rodata); the compiler also builds short texts from
# immediate operands ("26300 Te" + "ssera"), whose bytes lintian reads as
# words too, and those are no text of ours.
work="$(mktemp -d)"
trap 'rm -f "$log"; rm -rf "$work"' EXIT
spelling="$(echo "$output" | sed -n 's/^I: \([^ ]*\): spelling-error-in-binary \([^ ]*\) [^[]*\[\(.*\)\]$/\1 \2 \3/p')"
if [ -n "$spelling" ]; then
  echo "$spelling" | while read -r package word path; do
    [ -d "$work/$package" ] || dpkg-deb -x "$1/${package}_$2_amd64.deb" "$work/$package"
    rodata="$work/$package.$(echo "$path" | tr / _).rodata"
    [ -f "$rodata" ] || objcopy -O binary --only-section=.rodata "$work/$package/$path" "$rodata"
    if grep -aqw -- "$word" "$rodata"; then
      echo "I: $package: spelling-error-in-binary $word [$path] is in the program's texts"
    else
      echo "(\"$word\" in $path is machine code, not a text)" >&2
    fi
  done >"$work/texts"
  bad="$(printf '%s\n%s' "$bad" "$(cat "$work/texts")" | grep .)"
fi
if [ -n "$bad" ]; then
  echo "$bad" | sed 's/^/FAIL: /'
  echo "FAIL: lintian found $(echo "$bad" | wc -l) problem(s)"
  exit 1
fi
echo "lintian: no error, no warning on $(sed -n 's/^Binary: //p' "$CHANGES")"
