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

# The copyright file's licence paragraph, read as Debian's format reads
# it (each line indented by a space, "." for an empty line), must give
# LICENSE's terms: lintian passes a paragraph folded wrongly.
terms=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/ostrel/copyright |
  sed '1,/^License: Expat$/d')
printf '%s\n' "$terms" | grep -qv '^ [^ ]' &&
  { echo "$deb: the copyright file's licence is not folded"; exit 1; }
[ "$(printf '%s\n' "$terms" | sed 's/^ //; s/^\.$//')" = "$(sed -n '/^Permission/,$p' "$license")" ] ||
  { echo "$deb: the copyright file's licence is not LICENSE's"; exit 1; }

command -v lintian >/dev/null || { echo "lintian is not installed: not run"; exit 0; }
echo "lintian $deb:"
report=$(lintian "$deb" 2>&1); status=$?
printf '%s\n' "$report"
[ $status -eq 0 ] || { echo "lintian failed ($status)"; exit 1; }
printf '%s\n' "$report" | grep -q '^[EW]: ' && { echo "lintian: errors or warnings"; exit 1; }
exit 0
