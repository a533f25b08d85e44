#!/bin/sh
# The manual page must format without a single groff warning, and render
# through man with the sections a reader looks for and the given version.
page=$1 version=$2
command -v groff >/dev/null || { echo "groff is not installed"; exit 77; }
warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "$warnings"; exit 1; }
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
command -v man >/dev/null || exit 0
text=$(MANWIDTH=80 man -l "$page") || exit 1
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT 'EXIT STATUS' \
               EXAMPLES NOTES; do
  printf '%s\n' "$text" | grep -qx "$heading" ||
    { echo "no section $heading"; exit 1; }
done
printf '%s\n' "$text" | grep -qF "ostrel $version" ||
  { echo "no version $version"; exit 1; }
