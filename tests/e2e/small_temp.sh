#!/bin/sh
# CTest fixture: a 4 MiB tmpfs at $2 to unpack into until it is full.
#   small_temp.sh mount DIR     mounts it (as root); otherwise DIR stays a
#                               plain folder and DIR.status says why, and the
#                               test that needs it skips with that reason
#   small_temp.sh unmount DIR   unmounts and removes it
d="$2"
case "$1" in
mount)
    umount "$d" 2>/dev/null
    rm -rf "$d" "$d.status"
    mkdir -p "$d"
    if reason=$(mount -t tmpfs -o size=4m,mode=0755 korvanthelm-small-temp "$d" 2>&1); then
        echo "mounted" > "$d.status"
    else
        echo "mount -t tmpfs failed: $reason" > "$d.status"
    fi
    exit 0
    ;;
unmount)
    umount "$d" 2>/dev/null
    rm -rf "$d" "$d.status"
    exit 0
    ;;
esac
exit 2
