#!/usr/bin/env bash
# Install and uninstall speed against two conventional installers of the same files: an NSIS
# installer (solid LZMA) and a Windows Installer package (wixl, MSZIP), both from Debian packages,
# installed here for the benchmark only. Prints a table of medians, the ratios, the setup sizes, our
# peak memory, the built-in LZMS decoder's speed and the builder's time
# (bench/install/peer_bench.py says how it measures).
#
#   scripts/bench.sh
# Environment: ZS_BUILD_DIR (build), ZS_BENCH_WORK (/tmp/zs-bench), ZS_BENCH_ROUNDS (5),
# ZS_BENCH_FILES (2000), ZS_BENCH_MB (180), ZS_BENCH_JOBS (the builder's --jobs),
# ZS_BENCH_CORPORA (binaries,source), ZS_BENCH_BUILDER_ROUNDS (as many as the rounds; 0: installs only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZS_BUILD_DIR:-$root/build}
work=${ZS_BENCH_WORK:-/tmp/zs-bench}

missing=()
command -v makensis >/dev/null || missing+=(nsis)
command -v wixl >/dev/null || missing+=(wixl)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y "${missing[@]}" >/dev/null
fi

cmake --build "$build" -j2 >/dev/null
mkdir -p "$work"
"$root/scripts/wine-prefix" template "$work/template"
ZS_BIN_DIR="$build" ZS_SOURCE_DIR="$root" ZS_WORK_DIR="$work" ZS_TEMPLATE_PREFIX="$work/template" \
  PYTHONPATH="$root/tests/e2e:$root/bench/install:$root/bench/uninstall" \
  python3 "$root/bench/install/peer_bench.py"
