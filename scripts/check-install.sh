#!/bin/sh
# Installs a configured build tree into a scratch prefix, then builds and
# runs a small consumer through the CMake package and through pkg-config.
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

pcdir=$(dirname "$(find "$scratch/prefix" -name twrelay.pc | head -n 1)")
# The .pc file names the prefix it was configured with; point it at the scratch one.
sed -i "s|^prefix=.*|prefix=$scratch/prefix|" "$pcdir/twrelay.pc"
PKG_CONFIG_PATH="$pcdir" cc -std=c11 -o "$scratch/pc_consumer" "$src/tests/consumer/main.c" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs twrelay)
"$scratch/pc_consumer"
echo "install check: CMake package and pkg-config consumers built and ran"
