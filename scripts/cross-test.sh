#!/bin/sh
# The library, the self-check, the unit tests and the fuzz corpus replayers
# built for other CPUs and run under qemu-user: arm64 (char is unsigned
# there), linked against Debian's multiarch libraries, and big-endian s390x,
# linked statically, as qemu-s390x cannot start a dynamically linked program,
# with a cJSON built here from Debian's source package. The arm64 programs run
# with the multiarch loader and C library, not the cross toolchain's copies:
# the cross loader with the multiarch C library hangs the first thread start. The self-check must
# print the host's transcript, tests/data/selfcheck_battery.txt.
# Usage: cross-test.sh SOURCE_DIR WORK_DIR [CPU...]   (CPUs: arm64 s390x)
# A CPU whose tools are missing is skipped with a message (make ci-deps
# installs them).
set -eu
src=$(cd "$1" && pwd) work=$2
shift 2
[ $# -gt 0 ] || set -- arm64 s390x
mkdir -p "$work" && work=$(cd "$work" && pwd)
for cpu in "$@"; do
    case $cpu in
    arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    s390x) triple=s390x-linux-gnu qemu=qemu-s390x ;;
    *) echo "unknown CPU: $cpu" >&2 && exit 2 ;;
    esac
    missing=""
    for tool in "$triple-g++" "$qemu"; do command -v "$tool" >/dev/null || missing="$missing $tool"; done
    [ -e "/usr/lib/$triple/libgtest.a" ] || missing="$missing libgtest-dev:$cpu"
    if [ "$cpu" = s390x ]; then
        [ -f "$work/cjson-src/cJSON.c" ] || missing="$missing $work/cjson-src (Debian's cjson source)"
    else
        [ -e "/usr/lib/$triple/libcjson.so" ] || missing="$missing libcjson-dev:$cpu"
        [ -e "/usr/lib/$triple/libstdc++.so.6" ] || missing="$missing libstdc++6:$cpu"
    fi
    if [ -n "$missing" ]; then
        echo "cross-test: $cpu skipped, missing$missing; make ci-deps installs them"
        continue
    fi
    build=$work/$cpu
    set -- -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${triple%%-*}" \
        -DCMAKE_C_COMPILER="$triple-gcc" -DCMAKE_CXX_COMPILER="$triple-g++" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$qemu" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTWRELAY_BUILD_BENCH=OFF -DTWRELAY_WERROR="${WERROR:-OFF}"
    if [ "$cpu" = s390x ]; then
        cjson=$build/cjson
        mkdir -p "$cjson/include/cjson" "$cjson/lib/pkgconfig"
        cp "$work/cjson-src/cJSON.h" "$cjson/include/cjson/"
        "$triple-gcc" -O2 -c -o "$cjson/cJSON.o" "$work/cjson-src/cJSON.c"
        rm -f "$cjson/lib/libcjson.a" && "$triple-ar" rcs "$cjson/lib/libcjson.a" "$cjson/cJSON.o"
        printf 'Name: libcjson\nDescription: cJSON, static, for %s\nVersion: 1\nLibs: -L%s/lib -lcjson\nCflags: -I%s/include\n' \
            "$cpu" "$cjson" "$cjson" >"$cjson/lib/pkgconfig/libcjson.pc"
        export PKG_CONFIG_LIBDIR="$cjson/lib/pkgconfig"
        set -- "$@" -DCMAKE_DISABLE_FIND_PACKAGE_cJSON=ON -DCMAKE_EXE_LINKER_FLAGS=-static
    fi
    echo "cross-test: $cpu"
    cmake -S "$src" -B "$build" "$@" >"$work/$cpu-configure.log" || { cat "$work/$cpu-configure.log"; exit 1; }
    unset PKG_CONFIG_LIBDIR
    cmake --build "$build" -j "${JOBS:-2}"
    ("$qemu" "$build/twrelay_selfcheck" 2>/dev/null; echo "exit status $?") >"$work/$cpu-selfcheck.txt"
    diff "$src/tests/data/selfcheck_battery.txt" "$work/$cpu-selfcheck.txt" || { echo "cross-test: the $cpu self-check differs from the host's"; exit 1; }
    # The install checks build with the host's tools; the m68k and tshark
    # checks read with host programs what the host's twl-dump writes; a death
    # test that starts its own program anew cannot, as the kernel does not
    # know to hand a foreign program to qemu. A static program cannot load the
    # library as a module, so s390x has no unload test.
    skip='^(client_.*|twl_dissector.*|IdMapperDeathTest\..*)$'
    [ "$cpu" = s390x ] && skip='^(client_.*|twl_dissector.*|IdMapperDeathTest\..*|Unload\..*)$'
    ctest --test-dir "$build" -j "${JOBS:-2}" --output-on-failure -LE install -E "$skip"
done
