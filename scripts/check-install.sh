#!/bin/sh
# Installs a configured build tree into a scratch prefix, then builds and
# runs the relay-host example (C) through the CMake package and through
# pkg-config.
# Usage: check-install.sh <build-dir> <source-dir>
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$src/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/consumer"

# The installed tree works wherever it lies: move it, then use the .pc file
# as it is.
mv "$scratch/prefix" "$scratch/moved"
PKG_CONFIG_PATH=$(dirname "$(find "$scratch/moved" -name twrelay.pc)")
export PKG_CONFIG_PATH
cc -std=c11 -o "$scratch/pc_consumer" "$src/examples/relay_host.c" $(pkg-config --cflags --libs twrelay)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir twrelay)" "$scratch/pc_consumer"

# twl-dump tells the library's version, and man finds its installed page.
test "$("$scratch/moved/bin/twl-dump" --version)" = "twl-dump $(pkg-config --modversion twrelay)"
if command -v man >/dev/null; then
    man -l "$scratch/moved/share/man/man1/twl-dump.1" | grep -q 'twl-dump \[--escaped\] \[--hex\] \[--version\] \[-h|--help\] \[FILE\]'
else
    echo "install check: no man command here, manual page not rendered"
fi
echo "install check: the example built and ran through the CMake package and pkg-config; twl-dump and its page installed"
