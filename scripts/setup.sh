#!/usr/bin/env bash
# Installs everything the game, its tests and its tools need on Debian 12 (run as root).
set -euo pipefail
packages=(
  cmake g++ make pkg-config git
  qt6-base-dev qt6-multimedia-dev libqt6opengl6-dev libgl-dev
  libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils libx11-dev libxtst-dev imagemagick tesseract-ocr
  librsvg2-bin python3-pil
  sox libsox-fmt-all pulseaudio pulseaudio-utils
  fonts-dejavu-core fonts-liberation
  libcurl4-openssl-dev libssl-dev curl python3-pyftpdlib python3-openssl python3-cryptography postgresql-15 python3-psycopg
  qt6-webengine-dev qml6-module-qtwebengine qml6-module-qtquick qml6-module-qtqml-workerscript xdotool
  desktop-file-utils appstream fonts-wine
  lintian openbox dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
