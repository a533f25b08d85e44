#!/bin/sh
# Builds the Windows zip and checks it with windows_zip_check.sh.
#   windows_package_check.sh CPACK CONFIG OUT VERSION OBJDUMP
cpack=$1 config=$2 out=$3 version=$4 objdump=$5
rm -rf "$out"
"$cpack" -G ZIP --config "$config" -B "$out" >"$out.log" 2>&1 ||
  { cat "$out.log"; exit 1; }
zip=$out/ostrel-$version-win64.zip
[ -f "$zip" ] || { echo "no ostrel-$version-win64.zip in $out"; ls "$out"; exit 1; }
exec sh "$(dirname "$0")/windows_zip_check.sh" "$zip" "$version" "$objdump"
