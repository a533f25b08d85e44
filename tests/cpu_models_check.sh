#!/bin/sh
# The scan's loops come in three variants, and the processor is asked once
# which it runs. Under three of qemu-x86_64's processor models the x86-64
# build must choose, as variant_probe reports, the plain loop on a Core 2
# Duo (SSSE3 but no SSE4.1), the 16-byte loops on a Nehalem (SSE4.1 but no
# AVX) and the AVX2 loops on "max" (AVX2, with XSAVE and the YMM state
# enabled; the 16-byte loops where the build leaves AVX2 out), but not on
# a "max" whose system would not save the YMM registers. Natively it must
# choose what the kernel's list of the processor's features says.
# Under every model the tool must print the native run's bytes, without
# faulting, for files of every sample layout with 1, 2, 3, 6 and 8 channels
# and two windows. Skipped (77) without qemu-x86_64, for builds that are
# not x86-64 Linux on x86-64, and for builds with the sanitizers, whose
# shadow memory qemu-user cannot map.
#   cpu_models_check.sh TOOL PROBE AVX2(ON/OFF) SANITIZED(ON/OFF)
tool=$1 probe=$2 avx2=$3 sanitized=$4
command -v qemu-x86_64 >/dev/null 2>&1 || { echo "no qemu-x86_64; skipped"; exit 77; }
[ "$sanitized" = OFF ] || { echo "built with the sanitizers; skipped"; exit 77; }
# An x86-64 ELF program (class 2, machine 62) on an x86-64 machine.
if [ "$(uname -m)" != x86_64 ] ||
   [ "$(od -An -c -N4 "$tool" | tr -d ' ')" != 177ELF ] ||
   [ "$(od -An -tu1 -j4 -N1 "$tool" | tr -d ' ')" != 2 ] ||
   [ "$(od -An -tu2 -j18 -N2 "$tool" | tr -d ' ')" != 62 ]; then
  echo "not an x86-64 Linux build on x86-64; skipped"
  exit 77
fi
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/files"
"$probe" write "$tmp/files" || { echo "variant_probe could not write the files"; exit 1; }

# Every file with windows of 5 and 333 frames: the output, then the status
# (132 for SIGILL).
transcript() {  # [EMULATOR ARGS...]
  for f in "$tmp"/files/*.wav; do
    for w in 5 333; do
      echo "== ${f##*/} $w"
      "$@" "$tool" "$f" 0 1 "$w" 2>&1
      echo "status $?"
    done
  done
}

status=0
flags=$(grep -m1 '^flags' /proc/cpuinfo)
has() { case " ${flags#*:} " in *" $1 "*) return 0 ;; esac; return 1; }
if has avx2 && [ "$avx2" = ON ]; then native=avx2
elif has ssse3 && has sse4_1; then native=portable
else native=scalar
fi
got=$("$probe" variant)
[ "$got" = "$native" ] || { echo "natively: $got, where the kernel's flags say $native"; status=1; }
transcript >"$tmp/native"
grep -q '^Peak' "$tmp/native" || { echo "no peak line natively:"; head "$tmp/native"; exit 1; }

[ "$avx2" = ON ] && most=avx2 || most=portable
# "max" less XSAVE, and "max" less AVX, still list AVX2, but the system
# does not save the YMM registers (no OSXSAVE; XCR0 without bit 2). No
# model clears an XCR0 bit alone: the unit tests' table of the processor
# check has those rows.
for case in core2duo:scalar Nehalem:portable max:$most \
            max,-xsave:portable max,-avx:portable; do
  model=${case%%:*} want=${case#*:}
  got=$(qemu-x86_64 -cpu "$model" "$probe" variant 2>&1)
  [ "$got" = "$want" ] || { echo "-cpu $model: $got, not $want"; status=1; }
done
for model in core2duo Nehalem max; do
  transcript qemu-x86_64 -cpu "$model" >"$tmp/$model"
  if grep -q '^status 132$' "$tmp/$model"; then
    echo "-cpu $model: SIGILL"
    status=1
  fi
  if ! cmp -s "$tmp/native" "$tmp/$model"; then
    echo "-cpu $model: not the native bytes"
    diff "$tmp/native" "$tmp/$model" | head -20
    status=1
  fi
done
exit $status
