#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only the missing ones).
set -euo pipefail
packages=(build-essential cmake pkg-config libopencv-dev liblcm-dev liblcm-bin libpoco-dev libgtest-dev
          libgmock-dev libbenchmark-dev ffmpeg libavcodec-dev libavformat-dev libswscale-dev xvfb x11-apps
          clang-14 clang-format-14 libclang-rt-14-dev libaravis-dev libusb-1.0-0-dev
          python3-numpy python3-tifffile python3-open3d)  # the render test reads its files back with these
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
