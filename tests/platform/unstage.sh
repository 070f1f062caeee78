#!/usr/bin/env bash
# Undoes what stage.sh did outside the prefix: the small volume's mount.
set -u
prefix=${1:?prefix}
small="$prefix.small-volume"
rm -f "$prefix/dosdevices/s:"
if mountpoint -q "$small" 2>/dev/null; then umount "$small"; fi
rmdir "$small" 2>/dev/null || true
exit 0
