#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need; only missing ones.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config make
  libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev
  libswscale-dev libswresample-dev libavutil-dev
  libsdl2-dev qt6-base-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  libgtest-dev libbenchmark-dev nlohmann-json3-dev
  xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
