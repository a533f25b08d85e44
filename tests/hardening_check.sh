#!/bin/sh
# The built tool must carry every hardening feature that hardening-check
# looks for, but two: control-flow protection, which needs every object
# linked in, the C library's start files too, built with it; and in a Debug
# build the checked memory and string calls, which need the optimizer.
tool=$1 config=$2
[ -z "$OSTREL_OTHER_CPU" ] || { echo "the tool is built for another CPU"; exit 77; }
command -v hardening-check >/dev/null || { echo "hardening-check is not installed"; exit 77; }
set -- --nocfprotection
[ "$config" = Debug ] && set -- "$@" --nofortify
hardening-check "$@" "$tool"
