#!/bin/sh
# What the runs on other CPUs need (scripts/cross-test.sh): the arm64 and
# s390x architectures in dpkg, their cross compilers and libraries, qemu-user,
# and the source of Debian's cJSON, which the s390x run builds statically
# (Debian ships no static cJSON). Each step is skipped when already done.
# Usage: cross-deps.sh WORK_DIR   (the cJSON source goes to WORK_DIR/cjson-src)
set -eu
work=$1
packages="g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user dpkg-dev libcjson-dev:arm64 libstdc++6:arm64 libgtest-dev:arm64 libgtest-dev:s390x"
if [ "$(id -u)" -ne 0 ]; then
    echo "cross-deps: not root, nothing installed; the runs on other CPUs need, as root:"
    echo "  dpkg --add-architecture arm64; dpkg --add-architecture s390x; apt-get update"
    echo "  apt-get install $packages; a deb-src line for 'apt-get source cjson'"
    exit 0
fi
changed=0
for arch in arm64 s390x; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
        changed=1
    fi
done
# Source packages from the same archive as the binary ones.
if ! grep -qs '^ *\(deb-src\|Types:.*deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >/etc/apt/sources.list.d/twrelay-src.sources
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/twrelay-src.list
    fi
    changed=1
fi
[ $changed -eq 0 ] || apt-get update -qq
sh "$(dirname "$0")/install-deps.sh" $packages
if [ ! -f "$work/cjson-src/cJSON.c" ]; then
    rm -rf "$work/cjson-fetch" && mkdir -p "$work/cjson-fetch"
    (cd "$work/cjson-fetch" && apt-get source -qq cjson >source.log 2>&1) || { cat "$work/cjson-fetch/source.log"; exit 1; }
    rm -rf "$work/cjson-src" && mv "$work"/cjson-fetch/cjson-*/ "$work/cjson-src" && rm -rf "$work/cjson-fetch"
fi
