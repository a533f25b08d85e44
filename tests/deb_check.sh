#!/bin/sh
# Checks a Debian package of the tool: the given version, exactly the tool,
# its manual page, the copyright file (LICENSE in Debian's machine-readable
# format) and the changelog; and, where lintian is installed, not one error
# or warning from it.
#   deb_check.sh DEB VERSION
deb=$1 version=$2
license=$(dirname "$0")/../LICENSE
dpkg-deb -c "$deb" || exit 1
files=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ print $NF }')
expected='./usr/bin/ostrel
./usr/share/doc/ostrel/changelog.gz
./usr/share/doc/ostrel/copyright
./usr/share/man/man1/ostrel.1.gz'
[ "$files" = "$expected" ] || { echo "$deb: package files differ"; exit 1; }
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  { echo "$deb: not version $version"; exit 1; }

# The copyright file: Debian's machine-readable format around LICENSE's
# copyright line and terms, the terms folded (a leading space, "." for an
# empty line).
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
{
  echo 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'
  echo 'Upstream-Name: ostrel'
  echo
  echo 'Files: *'
  sed -n 's/^Copyright (c) /Copyright: /p' "$license"
  echo 'License: Expat'
  sed -n '/^Permission/,$p' "$license" | sed 's/^$/./; s/^/ /'
} >"$tmp/copyright"
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/ostrel/copyright |
  diff "$tmp/copyright" - || { echo "$deb: copyright file differs"; exit 1; }

command -v lintian >/dev/null || { echo "lintian is not installed: not run"; exit 0; }
echo "lintian $deb:"
report=$(lintian "$deb" 2>&1); status=$?
printf '%s\n' "$report"
[ $status -eq 0 ] || { echo "lintian failed ($status)"; exit 1; }
printf '%s\n' "$report" | grep -q '^[EW]: ' && { echo "lintian: errors or warnings"; exit 1; }
exit 0
