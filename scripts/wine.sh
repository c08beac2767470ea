#!/bin/sh
# Runs the Windows builds of the library's programs under Wine, each machine in its own prefix.
#
#   scripts/wine.sh up ARCH [--persist SECONDS]   create/boot the prefix of ARCH (win32|win64)
#                                                 and start its wineserver; without --persist
#                                                 the server stays until `down`
#   scripts/wine.sh down ARCH [--purge]           stop the prefix's wineserver and every Wine
#                                                 process of it; --purge also deletes the prefix
#   scripts/wine.sh run PROGRAM.exe [ARGS...]     run a program in the prefix of its machine
#                                                 (read from its PE header), bringing the prefix
#                                                 up first when needed; exits with its status
#   scripts/wine.sh can-run ARCH                  exit 0 when programs of ARCH can run on this
#                                                 machine; else print why on one line, exit 1
#   scripts/wine.sh system ARCH PROGRAM [ARGS...]  run one of the prefix's own programs (sc, reg,
#                                                 ...) by name with the loader of ARCH; exits with
#                                                 its status
#   scripts/wine.sh prefix ARCH                   print the prefix's path
#
# Each machine has its own loader, named explicitly: /usr/lib/wine/wine for win32 and
# /usr/lib/wine/wine64 for win64. The plain `wine` command starts the 32-bit loader whenever it is
# installed, and that loader is a 32-bit x86 program: on a host whose kernel cannot execute those
# ("Exec format error"), nothing of the win64 prefix may go through it.
#
# MV620_NO_32BIT=1 makes this machine behave as one that cannot execute 32-bit x86 programs:
# `can-run win32` says no and `run` refuses win32 programs, so that the path taken on such hosts
# can be tried on any machine. MV620_WINE32_LOADER and MV620_WINE64_LOADER name other loaders.
#
# The prefixes live under $MV620_WINE_ROOT, by default /tmp/mv620-wine-<uid>-<checksum of this
# checkout's path>, so that two checkouts on one machine never share (or stop) each other's
# wineserver. They hold nothing but a booted Windows directory tree.
#
# Why a persistent wineserver, started with its output on /dev/null: each program otherwise
# starts (and waits for) a new server and the prefix's services, and those inherit the program's
# standard output and error, so a caller that reads them through a pipe (ctest does) sees them
# open for seconds after the program has ended. A program run by `run` finds the server and the
# services already running and leaves nothing behind.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
checksum=$(printf '%s' "$repo" | cksum | cut -d' ' -f1)
root=${MV620_WINE_ROOT:-/tmp/mv620-wine-$(id -u)-$checksum}

die() {
    echo "wine.sh: $*" >&2
    exit 125
}

usage() {
    sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 125
}

check_arch() {
    case $1 in
    win32 | win64) ;;
    *) die "unknown machine '$1' (win32 or win64)" ;;
    esac
}

# The environment every Wine command of a prefix runs in.
enter_prefix() {
    WINEPREFIX=$root/$1
    WINEARCH=$1
    WINEDEBUG=-all
    # No Mono or Gecko installer dialogs, no desktop menu entries. winusb.dll only as a native
    # DLL: Wine's own is stubs that abort the program; the WinUSB tests put the project's test
    # winusb.dll into the system folder (tests/windows/winusb), and without it there is none.
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winusb=n"
    export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
    unset DISPLAY WAYLAND_DISPLAY || :
    : "${HOME:=$root}"
    export HOME
}

# The loader of a machine's programs.
loader_of() {
    case $1 in
    win32) echo "${MV620_WINE32_LOADER:-/usr/lib/wine/wine}" ;;
    win64) echo "${MV620_WINE64_LOADER:-/usr/lib/wine/wine64}" ;;
    esac
}

# can_run ARCH: whether programs of ARCH can run here; the reason on standard output when not.
can_run() {
    loader=$(loader_of "$1")
    if [ "$1" = win32 ] && [ "${MV620_NO_32BIT:-0}" = 1 ]; then
        echo "32-bit x86 programs cannot run on this machine (forced by MV620_NO_32BIT=1)"
        return 1
    fi
    if [ ! -x "$loader" ]; then
        echo "no Wine loader for $1 programs ($loader is not installed)"
        return 1
    fi
    if ! failure=$("$loader" --version 2>&1 >/dev/null </dev/null); then
        # The shell's own words, such as "Exec format error", without its name and line.
        failure=$(printf '%s' "$failure" | tail -n 1)
        failure=${failure##*"$loader": }
        echo "$1 programs cannot run on this machine ($loader: ${failure:-it fails to start})"
        return 1
    fi
    return 0
}

require_wine() {
    command -v wineserver >/dev/null 2>&1 ||
        die "Wine is not installed (apt-get install wine wine32:i386 wine64)"
    why=$(can_run "$1") || die "$why"
    loader=$(loader_of "$1")
}

# up ARCH [PERSIST]: idempotent, serialised across processes by a lock per prefix.
prefix_up() {
    arch=$1
    persist=${2:-}
    require_wine "$arch"
    enter_prefix "$arch"
    mkdir -p "$WINEPREFIX"
    exec 9>"$root/.lock-$arch"
    flock 9
    started=0
    wineserver "-p$persist" </dev/null >/dev/null 2>&1 || started=$?
    case $started in
    0) fresh=1 ;; # a new server: the prefix's services are not running yet
    2) fresh=0 ;; # a server of this prefix is running already
    *) die "wineserver could not be started for $WINEPREFIX (status $started)" ;;
    esac
    # The registry files appear only when the server saves them: a marker tells a booted prefix.
    if [ ! -f "$WINEPREFIX/.mv620-booted" ]; then
        echo "wine.sh: creating the $arch prefix $WINEPREFIX" >&2
        "$loader" wineboot -i </dev/null >"$root/wineboot-$arch.log" 2>&1 ||
            die "wineboot -i failed, see $root/wineboot-$arch.log"
        # The first boot leaves a second services.exe behind, and the two split the service
        # database between them: a service created then cannot be started (the test kernel
        # driver's). Booted once more from the saved prefix, it runs one, as on every later boot.
        wineserver -k </dev/null >/dev/null 2>&1 || :
        timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || :
        wineserver "-p$persist" </dev/null >/dev/null 2>&1 ||
            die "wineserver could not be started again for $WINEPREFIX"
        "$loader" wineboot </dev/null >>"$root/wineboot-$arch.log" 2>&1 ||
            die "wineboot failed, see $root/wineboot-$arch.log"
        : >"$WINEPREFIX/.mv620-booted"
    elif [ "$fresh" -eq 1 ]; then
        "$loader" wineboot </dev/null >"$root/wineboot-$arch.log" 2>&1 ||
            die "wineboot failed, see $root/wineboot-$arch.log"
    fi
    flock -u 9
    exec 9>&-
}

prefix_down() {
    arch=$1
    enter_prefix "$arch"
    if [ -d "$WINEPREFIX" ] && command -v wineserver >/dev/null 2>&1; then
        wineserver -k </dev/null >/dev/null 2>&1 || :
        timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || :
    fi
    if [ "${2:-}" = "--purge" ]; then
        rm -rf "$WINEPREFIX" "$root/.lock-$arch" "$root/wineboot-$arch.log"
        rmdir "$root" 2>/dev/null || :
    fi
}

# The machine of a PE program: win32 for i386, win64 for x86-64.
program_arch() {
    [ -r "$1" ] || die "cannot read $1"
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ -n "$pe" ] || die "$1 is not a PE program"
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
    case $machine in
    014c) echo win32 ;;
    8664) echo win64 ;;
    *) die "$1: unknown PE machine '$machine'" ;;
    esac
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
up)
    [ $# -ge 1 ] || usage
    check_arch "$1"
    persist=
    if [ "${2:-}" = "--persist" ]; then
        [ $# -ge 3 ] || usage
        persist=$3
    fi
    prefix_up "$1" "$persist"
    ;;
down)
    [ $# -ge 1 ] || usage
    check_arch "$1"
    prefix_down "$1" "${2:-}"
    ;;
run)
    [ $# -ge 1 ] || usage
    arch=$(program_arch "$1")
    # Brought up on demand (a developer running ctest by hand), the server ends by itself five
    # minutes after the last program.
    prefix_up "$arch" 300
    exec "$loader" "$@"
    ;;
can-run)
    [ $# -ge 1 ] || usage
    check_arch "$1"
    can_run "$1"
    ;;
system)
    [ $# -ge 2 ] || usage
    check_arch "$1"
    arch=$1
    shift
    prefix_up "$arch" 300
    # By the loader of the machine: the 32-bit one would take system32 for syswow64 and run the
    # 32-bit program of the name (and a service that program creates would be a 32-bit one).
    exec "$loader" "$@"
    ;;
prefix)
    [ $# -ge 1 ] || usage
    check_arch "$1"
    echo "$root/$1"
    ;;
*) usage ;;
esac
