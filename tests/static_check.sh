#!/bin/sh
# The tool of a static build (-DOSTREL_STATIC=ON) must need nothing of the
# system it runs on but the kernel: no loader (no INTERP program header) and
# no shared library (no NEEDED entry). Where the toolchain makes static
# PIEs, it must be one, bound at start-up (BIND_NOW) like the dynamically
# linked tool; either way its relocated data must be made read-only
# (GNU_RELRO). And the oldest kernel its C library's note names must be at
# most 3.2, or 3.7 on aarch64, the first Linux for that CPU: a newer C
# library that raises it fails here, not on a user's older system.
#   static_check.sh TOOL READELF STATIC_PIE(ON/OFF)
tool=$1 readelf=$2 pie=$3
command -v "$readelf" >/dev/null 2>&1 || { echo "no $readelf; skipped"; exit 77; }
header=$("$readelf" -hlW "$tool") || exit 1
dynamic=$("$readelf" -dW "$tool") || exit 1
notes=$("$readelf" -nW "$tool") || exit 1
status=0
fail() { echo "$tool: $*"; status=1; }

printf '%s\n' "$header" | grep -q '^ *INTERP ' &&
  fail "names a loader: $(printf '%s\n' "$header" | sed -n 's/.*interpreter: \(.*\)]$/\1/p')"
needed=$(printf '%s\n' "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
[ -z "$needed" ] || fail "needs the shared libraries $needed"
printf '%s\n' "$header" | grep -q '^ *GNU_RELRO ' || fail "has no read-only relocated data (RELRO)"
if [ "$pie" = ON ]; then
  printf '%s\n' "$header" | grep -q '^ *Type: *DYN ' || fail "is not a position-independent executable"
  printf '%s\n' "$dynamic" | grep -q '(FLAGS_1).*PIE' || fail "is not marked PIE"
  printf '%s\n' "$dynamic" | grep -q '(FLAGS) *BIND_NOW' || fail "is not bound at start-up (BIND_NOW)"
fi

kernel=$(printf '%s\n' "$notes" | sed -n 's/.*OS: Linux, ABI: \([0-9.]*\).*/\1/p')
case $(printf '%s\n' "$header" | sed -n 's/^ *Machine: *//p') in
  AArch64) oldest=3.7.0 ;;
  *) oldest=3.2.0 ;;
esac
if [ -z "$kernel" ]; then
  fail "has no note naming the oldest Linux it runs on"
elif ! printf '%s\n%s\n' "$kernel" "$oldest" | sort -t. -k1,1n -k2,2n -k3,3n -c 2>/dev/null; then
  fail "needs Linux $kernel; it should run on $oldest"
fi
[ $status -eq 0 ] && echo "$tool: static$([ "$pie" = ON ] && echo ' PIE'), no shared library, Linux $kernel or later"
exit $status
