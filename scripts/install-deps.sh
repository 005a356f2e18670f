#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the benchmarks need.
# Only missing packages are installed; apt-get update runs once, only when needed.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  # libraries
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libopenjp2-7-dev liblcms2-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pil imagemagick libjpeg-turbo-progs
  # the GUI offscreen and under a virtual display
  xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root (or install them with sudo apt-get install ${missing[*]})." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
