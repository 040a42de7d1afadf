#!/usr/bin/env bash
# Builds the programs and makes the Debian package kestrova_VERSION_amd64.deb,
# which `apt install ./kestrova_VERSION_amd64.deb` installs.
#
# usage: [KESTROVA_PACKAGE_MAINTAINER="Name <address>"] scripts/package.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-package, a release build of the programs alone
# (no tests, no benchmarks). Given an existing build directory (build, as the
# tests use it), the package is made from its programs without building
# anything else again. The package lands in BUILD_DIR/package/; its path is
# the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

for tool in dpkg-deb dpkg-shlibdeps help2man gzip; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

options=()
if command -v ccache >/dev/null 2>&1; then options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# The maintainer the package names (the default is the project's placeholder).
if [ -n "${KESTROVA_PACKAGE_MAINTAINER:-}" ]; then options+=("-DKESTROVA_PACKAGE_MAINTAINER=$KESTROVA_PACKAGE_MAINTAINER"); fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BUILD_TESTS=OFF -DKESTROVA_BUILD_BENCH=OFF \
    "${options[@]}" >/dev/null
else
  cmake "$build" "${options[@]}" >/dev/null  # the version follows the clone's HEAD
fi
programs=(kestrova kestrova-record kestrova-station kestrova-align kestrova-take)
cmake --build "$build" -j "$(nproc)" --target "${programs[@]}" kestrova_manpages

version=$(sed -n 's/^CPACK_PACKAGE_VERSION:.*=//p; s/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' \
          "$build/CPackConfig.cmake" | head -1)
[ -n "$version" ] || { echo "package.sh: no version in $build/CPackConfig.cmake" >&2; exit 1; }

# The changelog: the version and the commits that led to it, newest first.
mkdir -p "$build/package"
changelog=$build/package/changelog
{
  echo "kestrova ($version) unstable; urgency=medium"
  echo
  if git rev-parse --git-dir >/dev/null 2>&1; then
    git log -n 40 --no-merges --format='%h %s' | while read -r line; do
      echo "$line" | fold -s -w 72 | sed '1s/^/  * /; 2,$s/^/    /'
    done
    date=$(git log -1 --format=%cD)
  else
    echo "  * Kestrova $version."
    date=$(date -R)
  fi
  echo
  maintainer=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_MAINTAINER "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" | head -1)
  echo " -- $maintainer  $date"
} > "$changelog"
gzip -9nf "$changelog"

rm -f "$build"/package/kestrova_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/kestrova_*.deb)
echo "$deb"
