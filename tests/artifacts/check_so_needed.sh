#!/bin/sh
# Checks the shared libraries a Linux build of the library depends on (its DT_NEEDED entries):
# that it needs SONAME, or with --absent that it does not.
#
# usage: check_so_needed.sh [--readelf READELF] [--absent] LIBRARY.so SONAME
# Exit status: 0 the check passed, 1 it failed, 2 bad usage or unreadable input.
set -eu

readelf_tool=${READELF:-readelf}
absent=0

usage() {
    echo "usage: $0 [--readelf READELF] [--absent] LIBRARY.so SONAME" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --readelf) [ $# -ge 2 ] || usage; readelf_tool=$2; shift 2 ;;
    --absent) absent=1; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -eq 2 ] || usage
library=$1
soname=$2

if [ ! -r "$library" ]; then
    echo "check_so_needed: cannot read $library" >&2
    exit 2
fi
if ! dynamic=$("$readelf_tool" -d "$library" 2>&1); then
    echo "check_so_needed: $readelf_tool -d $library failed:" >&2
    echo "$dynamic" >&2
    exit 2
fi

# "0x0000000000000001 (NEEDED)  Shared library: [libusb-1.0.so.0]"
needed=$(printf '%s\n' "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
if printf '%s\n' "$needed" | grep -qxF "$soname"; then
    if [ "$absent" -eq 1 ]; then
        echo "FAIL: $library depends on $soname"
        exit 1
    fi
    echo "ok: $library depends on $soname"
else
    if [ "$absent" -eq 0 ]; then
        echo "FAIL: $library does not depend on $soname (it needs: $(echo $needed))"
        exit 1
    fi
    echo "ok: $library does not depend on $soname"
fi
