#!/bin/sh
# The Mac-side reader as a client developer builds it: strict C89 with
# warnings as errors on the host; for a big-endian 68k CPU, run under
# qemu-m68k on every wire vector and every TWL fuzz seed, where its twl-dump
# must print byte for byte what the host's does, with the same exit status;
# compiled with a 16-bit int; and its 68000 code size at -Os.
# Usage: client_m68k.sh SOURCE_DIR TWL_DUMP VECTOR_FRAMES WORK_DIR
# Exit status 77 (skipped) without the m68k cross compiler or qemu-m68k.
set -eu
src=$1 dump=$2 frames=$3 work=$4
if ! command -v m68k-linux-gnu-gcc >/dev/null || ! command -v qemu-m68k >/dev/null; then
    echo "skipped: no m68k-linux-gnu-gcc or qemu-m68k (make ci-deps installs gcc-m68k-linux-gnu, libc6-dev-m68k-cross, qemu-user)"
    exit 77
fi
rm -rf "$work" && mkdir -p "$work/in"
c89="-std=c89 -pedantic -Wall -Wextra -Werror -I$src -I$src/relay -I$src/client"
reader="$src/client/twl_client.c $src/relay/twl_layout.c"
${CC:-cc} $c89 -o "$work/dump-host" $reader "$src/client/twl_client_dump.c"
m68k-linux-gnu-gcc $c89 -O2 -static -o "$work/dump-m68k" $reader "$src/client/twl_client_dump.c"
for f in $reader; do m68k-linux-gnu-gcc $c89 -mshort -c -o "$work/short.o" "$f"; done
for f in $reader; do m68k-linux-gnu-gcc $c89 -Os -m68000 -c -o "$work/$(basename "$f" .c).o" "$f"; done
m68k-linux-gnu-size "$work/twl_client.o" "$work/twl_layout.o"
code=$(m68k-linux-gnu-size "$work/twl_client.o" | awk 'NR == 2 { print $1 }')
[ "$code" -le 8192 ] || { echo "the reader's 68000 code is $code bytes, over 8 KiB"; exit 1; }

"$frames" "$src/vectors" "$work/in"
for f in "$src"/fuzz/corpus/twl_*/*; do cp "$f" "$work/in/seed-$(basename "$(dirname "$f")")-$(basename "$f")"; done
cat "$work"/in/*.twl >"$work/all.stream"
failed=0 runs=0
check() { # label, host command, m68k command
    set +e
    eval "$2" >"$work/want" 2>&1; want=$?
    eval "$3" >"$work/got" 2>&1; got=$?
    set -e
    runs=$((runs + 1))
    if [ $want -ne $got ] || ! cmp -s "$work/want" "$work/got"; then
        echo "differs on $1 (exit $want on the host, $got on 68k):" && diff "$work/want" "$work/got" | head -n 10
        failed=$((failed + 1))
    fi
}
for f in "$work"/in/*; do check "$(basename "$f")" "\"$dump\" \"$f\"" "qemu-m68k \"$work/dump-m68k\" \"$f\""; done
check "every vector as one stream, --hex, on standard input" \
    "\"$dump\" --hex <\"$work/all.stream\"" "qemu-m68k \"$work/dump-m68k\" --hex - <\"$work/all.stream\""
check "the host's strict C89 build" "\"$dump\" \"$work/all.stream\"" "\"$work/dump-host\" \"$work/all.stream\""
echo "$runs runs: $failed differ"
[ $failed -eq 0 ]
