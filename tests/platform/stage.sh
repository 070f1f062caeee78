#!/usr/bin/env bash
# Stages what a Windows program cannot make inside a Wine prefix: links (Wine shows Unix symbolic
# links to folders as reparse points), a folder owned by another account, a folder anyone may
# write to. The platform tests find these under C:\zs-platform-staged.
set -euo pipefail
prefix=${1:?prefix}
root="$prefix/drive_c/zs-platform-staged"
rm -rf "$root"
mkdir -p "$root"

# Links: a tree holding a link to a folder outside it, and a link to an empty folder.
mkdir -p "$root/outside/target" "$root/outside/empty" "$root/tree/sub"
echo keep > "$root/outside/target/keep.txt"
echo data > "$root/tree/sub/file.txt"
ln -s "$root/outside/target" "$root/tree/dirlink"
ln -s "$root/outside/empty" "$root/tree/emptylink"
mkdir -p "$root/linked"
ln -s "$root/outside/target" "$root/linked/link"

# Ownership and permissions.
mkdir -p "$root/owned/mine/child" "$root/owned/other/child" "$root/owned/open/child"
chown -R nobody "$root/owned/other" 2>/dev/null || chown -R 65534 "$root/owned/other"
chmod 0777 "$root/owned/open"

# A full volume: a 1 MiB tmpfs as drive S:, where the system lets this user mount one. Wine
# reports a read-only mount as writable, so a read-only volume cannot be staged.
small="$prefix.small-volume"
mkdir -p "$small"
if mountpoint -q "$small" || mount -t tmpfs -o size=1m tmpfs "$small" 2>/dev/null; then
  ln -sfn "$small" "$prefix/dosdevices/s:"
else
  rm -f "$prefix/dosdevices/s:"
fi
