#!/bin/sh
# The README states the tool's size stripped and not, as "(S KB instead of
# U KB)", KB being 1,000 bytes. A Release build by GCC for x86-64 on
# x86-64, where the figures were measured, must be within 10% of both, so
# that a change that moves the size moves the README with it. Other builds
# (another compiler makes another size, and a build without the AVX2 loops
# is a fifth smaller) skip (77).
#   readme_size_check.sh TOOL README STRIP CONFIG COMPILER_ID AVX2(ON/OFF)
tool=$1 readme=$2 strip=$3 config=$4 compiler=$5 avx2=$6
if [ "$config" != Release ] || [ "$compiler" != GNU ] ||
   [ "$(uname -m)" != x86_64 ] || [ "$avx2" = OFF ] ||
   [ "$(od -An -tu2 -j18 -N2 "$tool" | tr -d ' ')" != 62 ]; then
  echo "the README's sizes are for the default Release build by GCC on x86-64; skipped"
  exit 77
fi
command -v "$strip" >/dev/null 2>&1 || { echo "no $strip; skipped"; exit 77; }
figures=$(tr '\n' ' ' <"$readme" |
  grep -o '([0-9,]* KB instead of  *[0-9,]* KB)' | tr -dc '0-9 ' | tr -s ' ')
set -- $figures
[ $# -eq 2 ] || { echo "$readme: no \"(S KB instead of U KB)\" found"; exit 1; }
stated_stripped=$1 stated_unstripped=$2
tmp=$(mktemp) || exit 1
trap 'rm -f "$tmp"' EXIT
# As cmake --install --strip does it: the symbols and the .comment section.
"$strip" -R .comment -o "$tmp" "$tool" || exit 1
status=0
check() {  # what, stated KB, actual bytes
  kb=$((($3 + 500) / 1000))
  if [ $((kb * 10)) -lt $(($2 * 9)) ] || [ $((kb * 10)) -gt $(($2 * 11)) ]; then
    echo "$readme says $1 $2 KB; it is $kb KB ($3 bytes): update the README"
    status=1
  else
    echo "$1: $kb KB, the README says $2 KB"
  fi
}
check stripped "$stated_stripped" "$(wc -c <"$tmp")"
check unstripped "$stated_unstripped" "$(wc -c <"$tool")"
exit $status
