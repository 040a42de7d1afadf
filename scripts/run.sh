#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and opens Kestrova on four
# simulated cameras. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec build/kestrova --sensors sim "$@"
