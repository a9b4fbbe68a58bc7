#!/usr/bin/env bash
# Builds the Debian package quarnel_<version>_amd64.deb from a Release build in build/package,
# leaves it in build/package and checks it with lintian.
# Usage: scripts/package.sh [OUTPUT-FOLDER]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/package
output=${1:-$build}

# Everything the build needs, plus the packaging tools: dpkg-shlibdeps (dpkg-dev) works out the
# library dependencies, fakeroot gives the files root ownership, lintian checks the result.
"$root/scripts/install-deps.sh" dpkg-dev fakeroot lintian file

# The prefix is /usr at configure time too: the library directory then follows Debian's
# multiarch layout (lib/x86_64-linux-gnu), where the loader finds libtivrel.so.1 unaided.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUARNEL_BENCH=OFF
cmake --build "$build" -j2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

deb=$(cd "$build" && ls quarnel_*.deb)
mkdir -p "$output"
output=$(cd "$output" && pwd)
[ "$output" = "$build" ] || cp "$build/$deb" "$output/$deb"
echo "package: $output/$deb"
dpkg-deb --info "$output/$deb" | sed -n '/Package:/,$p'

# Lintian errors fail the script; the warnings left are explained in
# data/debian/lintian-overrides, which the package installs.
lintian --fail-on error --info "$output/$deb"
echo "lintian: no errors"
