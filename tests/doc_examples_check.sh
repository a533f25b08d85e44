#!/bin/sh
# Every example in the documents ("$ ostrel ARGS" or "$ ./ostrel ARGS" and
# the lines below it, up to the end of the block) must be what the tool
# prints, run in the build directory. A line "... (N lines left out) ..."
# stands for N lines.
ostrel=$1
shift
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0
for doc in "$@"; do
  rm -f "$tmp"/block.*
  awk -v dir="$tmp" '
    /^\$ (\.\/)?ostrel / { n++; out = dir "/block." n }
    /^\.EE/ || /^```/ { out = "" }
    out != "" && !/^\.(ta|DT)/ { gsub(/\\-/, "-"); print > out }
  ' "$doc"
  for block in "$tmp"/block.*; do
    [ -e "$block" ] || { echo "$doc: no example found"; status=1; continue; }
    args=$(head -n 1 "$block" | sed 's|^\$ \(\./\)\{0,1\}ostrel ||')
    tail -n +2 "$block" >"$tmp/expected"
    # shellcheck disable=SC2086  # the arguments are split as a shell would
    "$ostrel" $args >"$tmp/actual"
    gap=$(grep -n 'lines left out' "$tmp/expected" | head -n 1)
    if [ -n "$gap" ]; then
      at=${gap%%:*}
      left_out=$(echo "$gap" | sed 's/.*(\([0-9]*\) lines left out).*/\1/')
      after=$(($(wc -l <"$tmp/expected") - at))
      {
        head -n $((at - 1)) "$tmp/actual"
        sed -n "${at}p" "$tmp/expected"
        tail -n "$after" "$tmp/actual"
      } >"$tmp/shown"
      [ "$(wc -l <"$tmp/actual")" -eq $((at - 1 + left_out + after)) ] ||
        { echo "$doc: ostrel $args: not $left_out lines left out"; status=1; }
    else
      cp "$tmp/actual" "$tmp/shown"
    fi
    diff "$tmp/expected" "$tmp/shown" >"$tmp/diff" ||
      { echo "$doc: ostrel $args:"; cat "$tmp/diff"; status=1; }
  done
done
exit $status
