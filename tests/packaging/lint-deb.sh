#!/bin/sh
# lint-deb.sh <build dir>: makes the .deb from the built tree with CPack and runs lintian on it; any error
# fails. Skips (CTest code 77) where lintian, dpkg-shlibdeps or cpack is not installed.
set -eu
build=$1
for tool in lintian dpkg-shlibdeps cpack; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is not installed (scripts/deps.sh installs it)"
    exit 77
  fi
done
out="$build/deb-lint"
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
echo "\$ lintian --fail-on error $deb"
lintian --fail-on error "$deb"
echo "lintian: no error"
