#!/bin/sh
# The Mac-side reader as client developers build it. flat: its files and the
# example, copied into one folder, build as strict C89 with no include path.
# m68k, ppc: twl-dump and the example, built for that CPU and run under qemu
# on every wire vector and fuzz seed, print and exit as the host's do; the
# code and state sizes printed must be those docs/CLIENT.md shows. short: the
# reader with a 16-bit int, in a freestanding driver under qemu-m68k, gives
# the host's events on a 70,000-byte image field and a status frame in one
# chunk, and on every vector. Exit status 77 (skipped) without the tools.
# Usage: client_check.sh MODE SOURCE_DIR TWL_DUMP VECTOR_FRAMES WORK_DIR
set -eu
mode=$1 src=$2 dump=$3 frames=$4 work=$5/$1
host=${CC:-cc} c89="-std=c89 -pedantic -Wall -Wextra -Werror" cc=m68k-linux-gnu-gcc qemu=qemu-m68k
[ "$mode" = ppc ] && cc=powerpc-linux-gnu-gcc qemu=qemu-ppc
[ "$mode" = flat ] && cc=$host qemu=true
command -v "$cc" >/dev/null && command -v "$qemu" >/dev/null || { echo "skipped: no $cc or $qemu (make ci-deps" \
    "installs gcc-m68k-linux-gnu, libc6-dev-m68k-cross, gcc-powerpc-linux-gnu, libc6-dev-powerpc-cross, qemu-user)"; exit 77; }
rm -rf "$work" && mkdir -p "$work/in" "$work/flat" && cd "$work"
cp "$src"/client/twl_client.[ch] "$src"/relay/twl_layout.[ch] "$src/relay/twl_wire.h" "$src/examples/mac_client.c" flat
[ "$mode" = flat ] && cd flat && exec $host $c89 -o mac_client ./*.c
reader="flat/twl_client.c flat/twl_layout.c"
"$frames" "$src/vectors" in >/dev/null
for f in "$src"/fuzz/corpus/twl_*/*; do cp "$f" "in/seed-$(basename "$(dirname "$f")")-$(basename "$f")"; done
cat in/*.twl >all.stream
failed=0 runs=0
check() { # label, host command, cross command
    set +e; eval "$2" >want 2>&1; want=$?; eval "$3" >got 2>&1; got=$?; set -e
    runs=$((runs + 1))
    [ $want -eq $got ] && cmp -s want got && return
    echo "differs on $1 (exit $want on the host, $got on $mode):" && diff want got | head -n 10 && failed=$((failed + 1))
}
if [ "$mode" = short ]; then
    # gcc 12 miscompiles some byte loops at -mshort -O2 without the last two.
    opt="-mshort -O2 -iquote flat -fno-ivopts -fno-tree-loop-distribute-patterns"
    $host $c89 -iquote flat -o events $reader "$src/tests/client_events.c"
    $cc $c89 $opt -c $reader && $cc -std=gnu89 $opt -ffreestanding -DFREESTANDING -c "$src/tests/client_events.c"
    $cc -mshort -nostdlib -static -o events-short ./*.o -lgcc
    { printf 'TRWK\001\213\000\001\021\177\000\001\002\003\004\002\200\001\340\000\000\000\001\021\160'
      yes TRWK | head -c 70000 && printf 'TRWK\001\214\000\000\000\006\001\002\000\002ok'; } >image.twl
    for f in image.twl all.stream; do check "$f" "./events <$f" "$qemu ./events-short <$f"; done
else
    $cc $c89 -I"$src" -iquote flat -O2 -static -o dump $reader "$src/client/twl_client_dump.c"
    $cc $c89 -O2 -static -o mac_client $reader flat/mac_client.c && $host $c89 -o mac_client-host $reader flat/mac_client.c
    for f in in/*; do check "$f" "\"$dump\" $f" "$qemu ./dump $f"; done
    check "every vector in one stream, --hex" "\"$dump\" --hex <all.stream" "$qemu ./dump --hex - <all.stream"
    check "the example" "./mac_client-host <all.stream" "$qemu ./mac_client <all.stream"
    grep -q "^guild: " want && grep -q "^text: " want || { echo "the example printed no guild or no text"; exit 1; }
    # Code as a classic Mac compiler would give it (-Os), and the state a client keeps.
    printf '#include "twl_client.h"\nchar reader[sizeof (twlc_reader)], event[sizeof (twlc_event)];\n' >state.c
    for f in $reader state.c; do $cc $c89 -Os $([ "$mode" = m68k ] && echo -m68000) -fno-common -iquote flat -c "$f"; done
    set -- $(${cc%gcc}size twl_client.o twl_layout.o | awk 'NR > 1 { print $1 + $2 }') $(${cc%gcc}nm -S state.o | sort -k 4 | awk '{ print $2 }')
    line="| $mode | $1 | $2 | $((0x$4)) + $((0x$3)) |"
    echo "sizes in bytes (CPU, reader code, layout tables, twlc_reader + twlc_event): $line"
    grep -qxF "$line" "$src/docs/CLIENT.md" || { echo "docs/CLIENT.md does not show $line"; failed=$((failed + 1)); }
fi
echo "$runs runs: $failed differ"
[ $failed -eq 0 ]
