#!/bin/sh
# Checks the dynamic symbol table of a Linux build of the library: it must export exactly the
# names of the --names file (ordinal and name a line, as the build writes it from
# src/context/export_list.h), each a defined function, and nothing else. With --sim-header the
# library is the simulating one: it may export, besides those, only MV620Sim_ functions, and
# exactly the ones that header declares.
#
# usage: check_so_exports.sh --names FILE [--sim-header HEADER] [--nm NM] LIBRARY.so
# Exit status: 0 all checks passed, 1 a check failed, 2 bad usage or unreadable input.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
names_file=
sim_header=
nm_tool=${NM:-nm}

usage() {
    echo "usage: $0 --names FILE [--sim-header HEADER] [--nm NM] LIBRARY.so" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --names) [ $# -ge 2 ] || usage; names_file=$2; shift 2 ;;
    --sim-header) [ $# -ge 2 ] || usage; sim_header=$2; shift 2 ;;
    --nm) [ $# -ge 2 ] || usage; nm_tool=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -eq 1 ] && [ -n "$names_file" ] || usage
library=$1

for f in "$library" "$names_file" ${sim_header:+"$sim_header"}; do
    if [ ! -r "$f" ]; then
        echo "check_so_exports: cannot read $f" >&2
        exit 2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

if ! "$nm_tool" -D --defined-only "$library" >"$work/symbols" 2>"$work/nm.err"; then
    echo "check_so_exports: $nm_tool -D --defined-only $library failed:" >&2
    cat "$work/nm.err" >&2
    exit 2
fi

# The names MV620Sim_ functions that the header declares (a name followed by an opening
# parenthesis), when there is a header.
: >"$work/declared"
if [ -n "$sim_header" ]; then
    grep -o 'MV620Sim_[A-Za-z0-9_]*[[:space:]]*(' "$sim_header" |
        sed 's/[[:space:]]*($//' | sort -u >"$work/declared"
    if [ ! -s "$work/declared" ]; then
        echo "check_so_exports: $sim_header declares no MV620Sim_ function" >&2
        exit 2
    fi
fi

awk -v library="$library" -v sim="${sim_header:+1}" \
    -v names="$names_file" -v declared="$work/declared" '
BEGIN {
    failures = 0
    while ((getline line < names) > 0) {
        if (line ~ /^[ \t]*(#|$)/) continue
        split(line, f, /[ \t]+/)
        expected[f[2]] = 1
        expectedCount++
    }
    while ((getline line < declared) > 0) {
        isDeclared[line] = 1
        declaredCount++
    }
}
function fail(message) {
    print "FAIL: " message
    failures++
}
# nm -D lines: [address] type name[@version|@@version]
NF >= 2 {
    type = $(NF - 1)
    name = $NF
    sub(/@.*/, "", name)
    # Version definitions (absolute symbols named after a version node) are not functions.
    if (type == "A") next
    if (name in expected) {
        if (type != "T") fail(name " is exported as a symbol of type " type ", not as a function (T)")
        seen[name] = 1
        next
    }
    if (sim && name ~ /^MV620Sim_/) {
        simSeen[name] = 1
        simCount++
        if (!(name in isDeclared)) fail(name " is exported but not declared in the simulator header")
        else if (type != "T") fail(name " is exported as a symbol of type " type ", not as a function (T)")
        next
    }
    fail("unexpected export " name " (type " type ")")
}
END {
    for (name in expected)
        if (!(name in seen)) fail(name " is not exported")
    if (sim) {
        for (name in isDeclared)
            if (!(name in simSeen)) fail(name " is declared in the simulator header but not exported")
    }
    if (failures == 0) {
        extra = sim ? " and " simCount " MV620Sim_ functions" : ""
        print "ok: " library " exports exactly the " expectedCount " library functions" extra
        exit 0
    }
    print failures " problem(s) in the exports of " library
    exit 1
}' "$work/symbols"
