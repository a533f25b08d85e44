#!/bin/sh
# Builds the Debian package and checks it with deb_check.sh.
cpack=$1 config=$2 out=$3 version=$4
[ -z "$OSTREL_OTHER_CPU" ] || { echo "the tool is built for another CPU"; exit 77; }
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed"; exit 77; }
rm -rf "$out"
"$cpack" -G DEB --config "$config" -B "$out" >"$out.log" 2>&1 ||
  { cat "$out.log"; exit 1; }
set -- "$out"/ostrel_"$version"_*.deb
[ -f "$1" ] || { echo "no ostrel_${version}_*.deb in $out"; ls "$out"; exit 1; }
exec sh "$(dirname "$0")/deb_check.sh" "$1" "$version"
