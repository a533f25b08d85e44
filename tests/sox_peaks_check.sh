#!/usr/bin/env bash
# Files written by sox in every encoding and channel count it writes to WAV:
# the tool's peaks must match what `sox FILE -n stats` measures, within
# 0.1 dB. Skipped (77) where sox is not installed.
ostrel=$1
command -v sox >/dev/null || { echo "sox is not installed"; exit 77; }
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0
for layout in "-e unsigned-integer -b 8" "-e a-law -b 8" "-e u-law -b 8" \
              "-e signed-integer -b 16" "-e signed-integer -b 24" \
              "-e signed-integer -b 32" "-e floating-point -b 32" \
              "-e floating-point -b 64"; do
  for channels in 1 2 3 6 8; do
    f=$tmp/take.wav
    # A tone per channel, each at its own level, so that no two peaks agree.
    tones="" c=1
    while [ "$c" -le "$channels" ]; do
      tones="$tones sine $((200 * c))"
      c=$((c + 1))
    done
    # shellcheck disable=SC2086  # the words are sox's arguments
    sox -D -n -r 8000 -c "$channels" $layout "$f" synth 0.5 $tones \
      remix $(c=1; while [ "$c" -le "$channels" ]; do printf '%sv%s ' "$c" "0.$((9 - c))"; c=$((c + 1)); done) ||
      { echo "sox cannot write $layout, $channels channels"; status=1; continue; }
    want=$(sox "$f" -n stats 2>&1 | awk '/^Pk lev dB/ { for (i = 4; i <= NF; i++) print $i }')
    # sox prints an overall column before the channels where there are two or more.
    [ "$channels" -gt 1 ] && want=$(echo "$want" | tail -n +2)
    got=$("$ostrel" "$f" 0 1 | tail -n 1 | tr ' ' '\n' | grep -E '^-?[0-9]+\.[0-9]$|^-?inf$')
    if [ "$(echo "$got" | wc -l)" -ne "$channels" ] ||
       ! paste -d ' ' <(echo "$got") <(echo "$want") 2>/dev/null |
         awk '{ d = $1 - $2; if (d < 0) d = -d; if (d > 0.1) bad = 1 } END { exit bad }'; then
      echo "$layout, $channels channels: ostrel says [$(echo $got)], sox [$(echo $want)]"
      status=1
    fi
  done
done
exit $status
