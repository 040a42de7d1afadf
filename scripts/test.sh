#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, makes the Debian package of the
# build and runs every test headless (under Xvfb, since the window and viewer
# tests need a display).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# A locale with a decimal comma, so the settings-file tests can prove that
# numbers are written with a point whatever the user's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: no de_DE locale; the comma test will skip"
fi

scripts/build.sh
# The Debian package of the programs just built, for the package test.
scripts/package.sh build >/dev/null
cd build
xvfb-run -a -s "-screen 0 1600x1000x24" ctest --output-on-failure -j "$(nproc)" --timeout 300
