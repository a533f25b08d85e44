#!/bin/sh
# The tool reads a recording piped from a program of this machine as it
# reads the file, up to the stream's end; through the emulator too, where
# the pipe is one of the host's (under wine a Linux pipe, whose end reads
# as no bytes). The recording is cut short, so that the stream ends before
# its declared size does. A hang fails.
#   pipe_check.sh RUN_OSTREL FILE
tool=$1 file=$2
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
head -c 30000 "$file" >"$tmp/cut.wav"
"$tool" "$tmp/cut.wav" 0 100 >"$tmp/want" 2>&1
echo "status $?" >>"$tmp/want"
grep -q '^Peak' "$tmp/want" || { echo "no peak line for the file:"; cat "$tmp/want"; exit 1; }
# macOS has no timeout command; there ctest's own limit ends a hang.
limit=$(command -v timeout >/dev/null && echo "timeout 30")
# shellcheck disable=SC2086  # no limit, or its two words
cat "$tmp/cut.wav" | $limit "$tool" - 0 100 >"$tmp/got" 2>&1
echo "status $?" >>"$tmp/got"
diff "$tmp/want" "$tmp/got" || { echo "through a pipe, not as for the file"; exit 1; }
