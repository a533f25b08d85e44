#!/bin/sh
# Builds the Debian package and lists it: the given version, and exactly the tool
# and its manual page besides directories.
cpack=$1 config=$2 out=$3 version=$4
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed"; exit 77; }
rm -rf "$out"
"$cpack" -G DEB --config "$config" -B "$out" >"$out.log" 2>&1 ||
  { cat "$out.log"; exit 1; }
set -- "$out"/ostrel_"$version"_*.deb
[ -f "$1" ] || { echo "no ostrel_${version}_*.deb in $out"; ls "$out"; exit 1; }
dpkg-deb -c "$1" || exit 1
files=$(dpkg-deb -c "$1" | grep -v '^d' | awk '{ print $NF }')
expected='./usr/bin/ostrel
./usr/share/man/man1/ostrel.1'
[ "$files" = "$expected" ] || { echo "package files differ"; exit 1; }
[ "$(dpkg-deb -f "$1" Version)" = "$version" ] ||
  { echo "not version $version"; exit 1; }
