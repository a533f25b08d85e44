#!/bin/sh
# The built tool must carry every hardening feature that hardening-check
# looks for, but two: control-flow protection, which needs every object
# linked in, the C library's start files too, built with it; and in a Debug
# build the checked memory and string calls, which need the optimizer.
# hardening-check finds the stack protector and the checked calls by the
# tool's calls into the C library, which a static tool has within it; so
# for a static build (CORE named) it reads them from the calls of the core
# library's objects, all of the tool but its entry, and static_check.sh
# checks the static tool's own headers.
#   hardening_check.sh TOOL CONFIG [CORE]
tool=$1 config=$2 core=$3
[ -z "$OSTREL_OTHER_CPU" ] || { echo "the tool is built for another CPU"; exit 77; }
command -v hardening-check >/dev/null || { echo "hardening-check is not installed"; exit 77; }
set -- --nocfprotection
[ "$config" = Debug ] && set -- "$@" --nofortify
if [ -n "$core" ]; then
  hardening-check "$@" --nopie --norelro --nobindnow "$core"
else
  hardening-check "$@" "$tool"
fi
