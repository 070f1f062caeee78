#!/usr/bin/env bash
# Installs every Debian package that building, the demo and the tests need.
# Idempotent: a machine that already has everything spends no time here.
set -euo pipefail

packages=(
  cmake ninja-build make python3 strace
  g++ clang
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  wine wine32:i386 wine64
  xvfb xauth x11-apps x11-utils xdotool imagemagick
  googletest
  libwim-dev xz-utils
  # Test-only: the signed-release scenario signs and verifies with these.
  osslsigncode openssl
  fonts-jetbrains-mono
  libgl1:i386 libgl1-mesa-dri:i386 libglx-mesa0:i386 libxcomposite1:i386
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  missing=(arch)
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
sudo_ dpkg --add-architecture i386
sudo_ apt-get update -qq
sudo_ apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
