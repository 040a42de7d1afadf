#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Idempotent; works as root or through sudo.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config ccache
  libpcl-dev libboost-thread-dev libeigen3-dev libfreenect-dev libopenni2-dev libzstd-dev libpng-dev
  qtbase5-dev libx11-dev
  cyclonedds-dev cyclonedds-tools libddsc0debian openssl iproute2
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev pcl-tools
  xvfb xauth locales fonts-ipafont-gothic
  python3 python3-numpy python3-pytest python3-open3d python3-wheel python3-pip python3-venv
  python3-setuptools
  openbox xdotool x11-utils imagemagick xclip
  dpkg-dev help2man man-db lintian
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
