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

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync serves an index of the wrong size for a while ("File has unexpected
# size ... Mirror sync in progress?"). apt-get update then exits 100 although every other list
# came down, and the packages we need are usually still installable without that suite. So: try a
# few times, then leave out the suites whose index failed and go on with the lists there are; only
# the install itself decides.
ZS_APT_TRIES=${ZS_APT_TRIES:-3}
ZS_APT_PAUSE=${ZS_APT_PAUSE:-10}
ZS_APT_LISTS=${ZS_APT_LISTS:-/var/lib/apt/lists}

apt_update_with_retries() {
  local try out rc=0 suite
  for try in $(seq "$ZS_APT_TRIES"); do
    out=$(sudo_ apt-get update -qq 2>&1) && return 0
    rc=$?
    printf 'bootstrap: apt-get update failed (try %s of %s, exit %s)\n' "$try" "$ZS_APT_TRIES" "$rc" >&2
    [ "$try" -lt "$ZS_APT_TRIES" ] && sleep "$ZS_APT_PAUSE"
  done
  printf '%s\n' "$out" | grep -E '^(E|W): ' | sed 's/^/bootstrap:   /' >&2
  # A suite whose index for one architecture is missing goes for every architecture: its newer
  # amd64 libraries would otherwise want i386 twins of the same version that no list has.
  for suite in $(failed_suites <<<"$out"); do
    printf 'bootstrap: leaving out %s for now (its index did not download).\n' "$suite" >&2
    sudo_ find "$ZS_APT_LISTS" -maxdepth 1 -name "${suite}_*" -type f -delete
  done
  printf 'bootstrap: going on with the package lists that did download.\n' >&2
  return "$rc"
}

# apt-get update's "Failed to fetch URI/dists/SUITE/..." lines as the list files' common prefix
# (the URI without its scheme, "/" as "_", up to and with the suite), once each.
failed_suites() {
  sed -n -E 's#^E: Failed to fetch [a-z+]+://([^ ]+/dists/[^/ ]+)/.*#\1#p' | tr '/' '_' | sort -u
}

install_packages() {
  if sudo_ apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null; then
    return 0
  fi
  cat >&2 <<'MSG'
bootstrap: the packages could not be installed. If apt-get update failed above, the index it
names (often "Mirror sync in progress?") is missing: wait a few minutes and run this again, or
leave that suite out of /etc/apt/sources.list.d/ for now.
MSG
  return 1
}

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

export DEBIAN_FRONTEND=noninteractive
sudo_ dpkg --add-architecture i386
apt_update_with_retries || true
install_packages || exit 1
