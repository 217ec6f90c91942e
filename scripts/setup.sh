#!/usr/bin/env bash
# Installs everything the build, the programs and the tests need from Debian's packages.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-dev libopencv-contrib-dev opencv-data libx11-dev libxrandr-dev nlohmann-json3-dev zlib1g-dev
  libwebrtc-audio-processing-dev
  alsa-utils espeak-ng sox
  xvfb xdotool x11-utils x11-apps imagemagick
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon
  python3 python3-numpy python3-opencv python3-imageio python-matplotlib-data
  time jq pandoc man-db
  dpkg-dev lintian systemd
  dosfstools fusefat
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

echo "setup: installing ${missing[*]}"
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
