#!/bin/sh
# Checks what .ci/release wrote:
# - dist/ holds exactly the archives of the project's version and
#   SHA256SUMS, which names each of them once and which sha256sum -c accepts;
# - each static tarball holds one folder with exactly ostrel, ostrel.1,
#   README.md (this checkout's) and LICENSE, owned by root; its ostrel is
#   static (static_check.sh), stripped, for its CPU;
# - each Debian package passes deb_check.sh (members, version, copyright
#   file, lintian), is for its architecture, and holds the dynamically
#   linked tool for that CPU;
# - the zip passes windows_zip_check.sh, and has no extra fields;
# - no tool holds the path of this checkout.
# The release's Linux CPUs are those of .ci/release-targets. The archives'
# times, modes and gzip headers are left to .ci/run's reproduce stage,
# which makes them again at another time, under another umask.
#   tests/release_check.sh [DIST]
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
dist=$(cd "${1:-$root/dist}" && pwd) || exit 1
export LC_ALL=C TZ=UTC
version=$(sed -n 's/^project(ostrel VERSION \([0-9.]*\)[ )].*/\1/p' "$root/CMakeLists.txt")
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "$*"; status=1; }

# CPU, Debian architecture, ELF machine, static PIE: see the file.
targets=$(grep -v '^#' "$root/.ci/release-targets" | awk 'NF { print $1, $2, $5, $6 }')
archives=$(printf '%s\n' "$targets" | while read -r arch debarch _; do
  echo "ostrel-$version-linux-$arch.tar.gz"
  echo "ostrel_${version}_$debarch.deb"
done
echo "ostrel-$version-win64.zip")
archives=$(printf '%s\n' "$archives" | sort)
expected=$(printf '%s\nSHA256SUMS\n' "$archives" | sort)
found=$(cd "$dist" && find . -mindepth 1 | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] ||
  fail "dist/ holds $(echo "$found" | tr '\n' ' '); expected $(echo "$expected" | tr '\n' ' ')"
[ "$(awk '{ print $2 }' "$dist/SHA256SUMS" | sort)" = "$archives" ] ||
  fail "SHA256SUMS does not name each archive once"
(cd "$dist" && sha256sum --strict -c SHA256SUMS) || fail "SHA256SUMS does not match"

# The ELF machine a tool is for, as readelf names it.
machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p' | tr ' ' _; }
# Fails where a tool holds the checkout's path.
no_path() {
  ! grep -qF "$root" "$1" || fail "$1 holds the path $root"
}

while read -r arch debarch machine pie; do
  top=ostrel-$version-linux-$arch
  tarball=$dist/$top.tar.gz
  members=$(tar -tzf "$tarball")
  [ "$members" = "$top/
$top/LICENSE
$top/README.md
$top/ostrel
$top/ostrel.1" ] || fail "$top.tar.gz holds: $(printf '%s\n' "$members" | tr '\n' ' ')"
  # Whoever made it: a second release by the same user cannot tell.
  tar -tvzf "$tarball" --numeric-owner | awk '$2 != "0/0" { exit 1 }' ||
    fail "$top.tar.gz: members not owned by 0/0"
  if ! { mkdir "$tmp/$arch" && tar -C "$tmp/$arch" -xzf "$tarball"; }; then
    fail "$top.tar.gz cannot be unpacked"
    continue
  fi
  cmp -s "$tmp/$arch/$top/README.md" "$root/README.md" || fail "$top.tar.gz: another README.md"
  cmp -s "$tmp/$arch/$top/LICENSE" "$root/LICENSE" || fail "$top.tar.gz: another LICENSE"
  grep -q "^\.TH .*\"ostrel $version\"" "$tmp/$arch/$top/ostrel.1" ||
    fail "$top.tar.gz: ostrel.1 is not the manual page of $version"
  tool=$tmp/$arch/$top/ostrel
  [ "$(machine "$tool")" = "$machine" ] || fail "$top.tar.gz: ostrel is for $(machine "$tool")"
  sh "$here/static_check.sh" "$tool" readelf "$pie" || status=1
  readelf -SW "$tool" | grep -qE ' \.(symtab|comment) ' &&
    fail "$top.tar.gz: ostrel is not stripped"
  no_path "$tool"

  deb=$dist/ostrel_${version}_$debarch.deb
  sh "$here/deb_check.sh" "$deb" "$version" >"$tmp/deb.log" 2>&1 ||
    { cat "$tmp/deb.log"; fail "ostrel_${version}_$debarch.deb fails its check"; }
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$debarch" ] ||
    fail "${deb##*/} is for $(dpkg-deb -f "$deb" Architecture)"
  dpkg-deb -x "$deb" "$tmp/$debarch"
  tool=$tmp/$debarch/usr/bin/ostrel
  [ "$(machine "$tool")" = "$machine" ] || fail "${deb##*/}: ostrel is for $(machine "$tool")"
  readelf -d "$tool" | grep -q '(NEEDED).*\[libc\.so\.6\]' ||
    fail "${deb##*/}: ostrel is not the dynamically linked tool"
  no_path "$tool"
  [ $status -ne 0 ] || echo "$top.tar.gz, ${deb##*/}: checked"
done <<EOF
$targets
EOF

zip=$dist/ostrel-$version-win64.zip
sh "$here/windows_zip_check.sh" "$zip" "$version" x86_64-w64-mingw32-objdump || status=1
zipinfo -v "$zip" | grep 'length of extra field:' | grep -qv ' 0 bytes$' &&
  fail "ostrel-$version-win64.zip: members with extra fields"
unzip -q -d "$tmp/win64" "$zip" && no_path "$tmp/win64/ostrel-$version-win64/ostrel.exe"
[ $status -eq 0 ] && echo "release archives of $version: checked"
exit $status
