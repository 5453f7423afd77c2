#!/bin/sh
# Builds the library alone as a shared library in a scratch directory and
# checks its face: the SONAME carries the major version, and the dynamic
# symbol table holds the C API's names and nothing else, and every function
# the public headers declare is there (one that lost its C linkage is not).
# Usage: check-shared-library.sh <source-dir> <major> <c-compiler> <c++-compiler>
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake -S "$1" -B "$scratch" -DBUILD_SHARED_LIBS=ON -DTWRELAY_BUILD_TESTS=OFF -DTWRELAY_BUILD_BENCH=OFF \
    -DTWRELAY_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER="$3" -DCMAKE_CXX_COMPILER="$4" >/dev/null
cmake --build "$scratch" --target twrelay_core >/dev/null
lib=$scratch/libtwrelay.so
readelf -d "$lib" | grep "(SONAME)"
readelf -d "$lib" | grep -q "Library soname: \[libtwrelay.so.$2\]"
nm -D --defined-only "$lib" | awk '{ print $NF }' >"$scratch/exports"
if grep -Ev '^(twl_|twr_|tw_|idmap_|twrelay_|utf8_to_macroman$)' "$scratch/exports"; then
    echo "exported beyond the C API: the names above" >&2
    exit 1
fi
sort -o "$scratch/exports" "$scratch/exports"
grep -ohE '\b(twl|twr|tw|idmap|twrelay|utf8)_[a-z0-9_]+\(' "$1"/relay/*.h | tr -d '(' | sort -u >"$scratch/declared"
if comm -23 "$scratch/declared" "$scratch/exports" | grep .; then
    echo "declared in the public headers but not exported: the names above" >&2
    exit 1
fi
echo "$(wc -l <"$scratch/exports") exported symbols, all of the C API"
