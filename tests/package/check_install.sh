#!/bin/sh
# Installs a build tree into an empty prefix and builds a user's program against it, once with
# find_package and once with pkg-config; with --run, runs both against the simulated instrument.
#
#   check_install.sh build BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER [TOOLCHAIN_FILE]
#   check_install.sh run WORK_DIR [EMULATOR...]
#
# Prints what it checks; exits 1 at the first thing missing or failing.
set -eu

fail() {
    echo "check_install: $*" >&2
    exit 1
}

# A file that must be in the prefix.
present() {
    [ -e "$prefix/$1" ] || fail "not installed: $1"
    echo "installed: $1"
}

build() {
    build_dir=$1 source_dir=$2 work=$3 cc=$4 toolchain=${5:-}
    prefix=$work/prefix
    rm -rf "$work"
    mkdir -p "$work"
    cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
        fail "cmake --install failed (see $work/install.log)"

    present include/MV620ACQm.h
    present include/MV620ACQm_sim.h
    present lib/cmake/MV620ACQm/MV620ACQmConfig.cmake
    present lib/pkgconfig/MV620ACQm.pc
    present lib/pkgconfig/MV620ACQm-sim.pc
    present share/doc/MV620ACQm/examples/acquire_demo.c
    if [ -n "$toolchain" ]; then
        for library in MV620ACQm MV620ACQm-sim; do
            present "bin/$library.dll"
            present "lib/lib$library.dll.a"
            present "lib/$library.def"
        done
        present driver/mv620.inf
    else
        for library in MV620ACQm MV620ACQm-sim; do
            present "lib/lib$library.so"
            soname=$(readelf -d "$prefix/lib/lib$library.so" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
            [ "$soname" = "lib$library.so.1" ] || fail "lib$library.so has SONAME '$soname', expected lib$library.so.1"
            present "lib/$soname"
            echo "SONAME of lib$library.so: $soname"
        done
    fi

    # find_package, from the installed package alone.
    set -- -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$cc" \
        -DMV620ACQm_DIR="$prefix/lib/cmake/MV620ACQm"
    [ -z "$toolchain" ] || set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
    cmake -S "$source_dir/tests/package" -B "$work/find_package" "$@" >"$work/find_package.log" 2>&1 ||
        fail "configuring the consumer with find_package failed (see $work/find_package.log)"
    cmake --build "$work/find_package" >>"$work/find_package.log" 2>&1 ||
        fail "building the consumer with find_package failed (see $work/find_package.log)"
    echo "built with find_package: $work/find_package"

    # pkg-config, from the installed .pc file alone.
    mkdir -p "$work/pkg-config"
    flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs MV620ACQm-sim) ||
        fail "pkg-config does not know MV620ACQm-sim"
    # shellcheck disable=SC2086 # the flags are words
    "$cc" -std=c11 -Wall -Werror "$source_dir/tests/package/consumer.c" $flags \
        -o "$work/pkg-config/consumer${toolchain:+.exe}" ||
        fail "building the consumer with pkg-config ($flags) failed"
    echo "built with pkg-config: $flags"

    if [ -n "$toolchain" ]; then
        # A Windows program finds its DLLs beside it.
        for dir in "$work/find_package" "$work/pkg-config"; do
            cp "$prefix"/bin/*.dll "$dir/"
        done
    fi
}

run() {
    work=$1
    shift
    prefix=$work/prefix
    for program in "$work"/find_package/consumer "$work"/find_package/consumer.exe \
        "$work"/pkg-config/consumer "$work"/pkg-config/consumer.exe; do
        [ -f "$program" ] || continue
        echo "running $program"
        LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$@" "$program" ||
            fail "$program failed"
        ran=1
    done
    [ "${ran:-0}" = 1 ] || fail "no consumer was built in $work"
}

[ $# -ge 2 ] || fail "usage: check_install.sh build|run ..."
command=$1
shift
case $command in
build) build "$@" ;;
run) run "$@" ;;
*) fail "unknown command $command" ;;
esac
