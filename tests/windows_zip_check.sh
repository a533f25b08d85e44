#!/bin/sh
# Checks a Windows zip of the tool: exactly ostrel.exe, the README, the
# licence and (where groff is installed) the manual page as plain text, in
# one folder named for the version; ostrel.exe stripped, needing no DLL but
# the system's, and marked for ASLR (64-bit addresses too) and for data
# that does not execute.
#   windows_zip_check.sh ZIP VERSION OBJDUMP
zip=$1 version=$2 objdump=$3
here=$(cd "$(dirname "$0")" && pwd)
zip=$(cd "$(dirname "$zip")" && pwd)/${zip##*/}
top=ostrel-$version-win64
expected="$top/LICENSE.txt
$top/README.md
$top/ostrel.exe"
command -v groff >/dev/null && expected="$expected
$top/ostrel-manual.txt"
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
files=$(cd "$tmp" && cmake -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort)
expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)
[ "$files" = "$expected" ] ||
  { echo "zip files differ:"; echo "$files"; echo "expected:"; echo "$expected"; exit 1; }
(cd "$tmp" && cmake -E tar xf "$zip") || exit 1
cmp "$tmp/$top/LICENSE.txt" "$here/../LICENSE" || exit 1
cmp "$tmp/$top/README.md" "$here/../README.md" || exit 1
if command -v groff >/dev/null; then
  manual=$tmp/$top/ostrel-manual.txt
  grep -qx 'SYNOPSIS' "$manual" || { echo "the manual has no SYNOPSIS"; exit 1; }
  # Plain text: no backspace overstrikes, no escape sequences.
  ! LC_ALL=C grep -q "$(printf '[\b\033]')" "$manual" ||
    { echo "the manual is not plain text"; exit 1; }
fi
exe=$tmp/$top/ostrel.exe
dlls=$("$objdump" -p "$exe" | sed -n 's/^.*DLL Name: //p' | tr 'A-Z' 'a-z' | LC_ALL=C sort)
for dll in $dlls; do
  case $dll in
    # The C library of Windows: msvcrt.dll for Debian's cross compiler, the
    # Universal CRT (part of Windows 10 and later) for MSYS2's UCRT64.
    kernel32.dll | msvcrt.dll | advapi32.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) echo "ostrel.exe needs $dll"; exit 1 ;;
  esac
done
flags=$("$objdump" -p "$exe")
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  printf '%s\n' "$flags" | grep -qw "$flag" || { echo "ostrel.exe is not $flag"; exit 1; }
done
"$objdump" -t "$exe" | grep -qx 'no symbols' || { echo "ostrel.exe is not stripped"; exit 1; }
echo "$zip: $(echo "$files" | tr '\n' ' ')"
