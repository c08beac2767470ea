#!/bin/sh
# Checks the PE headers of a Windows build of the library, as objdump shows them:
#   - the machine: 32-bit x86 (PE32, pei-i386) or, with --machine x86-64, PE32+ (pei-x86-64);
#   - the export directory: module name, ordinal base 1, exactly the names of the --names file (written
#     by the build from src/context/export_list.h)
#     at exactly their ordinals, undecorated (no leading underscore, no @N suffix), no ordinal
#     without a name; with --sim-header also every MV620Sim_ function that header declares, at
#     ordinals after the library's, and nothing else;
#   - the imports: system DLLs only (no C++ runtime, libgcc or winpthread DLL);
#   - the version resource: file and product version (fixed part and strings) = --version;
#   - with --winusb, the WinUSB backend inside: SetupAPI imported, and winusb.dll loaded at run
#     time (LoadLibraryExW and GetProcAddress imported, the module's name and the name of every
#     WinUsb_ function the backend binds in the file).
#
# usage: check_dll_exports.sh [--machine i386|x86-64] [--module NAME.dll] [--version A.B.C.D]
#                             [--sim-header HEADER] [--winusb] --names FILE [--objdump OBJDUMP]
#                             FILE.dll
# --module defaults to the DLL's file name, --version to 1.0.0.1. OBJDUMP defaults to the
# mingw-w64 objdump of the machine, else objdump.
# Exit status: 0 all checks passed, 1 a check failed, 2 bad usage or unreadable input.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
names_file=
machine=i386
module=
version=1.0.0.1
sim_header=
winusb=
objdump_tool=${OBJDUMP:-}

usage() {
    echo "usage: $0 [--machine i386|x86-64] [--module NAME.dll] [--version A.B.C.D]" \
        "[--sim-header HEADER] [--winusb] --names FILE [--objdump OBJDUMP] FILE.dll" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --machine) [ $# -ge 2 ] || usage; machine=$2; shift 2 ;;
    --module) [ $# -ge 2 ] || usage; module=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --sim-header) [ $# -ge 2 ] || usage; sim_header=$2; shift 2 ;;
    --winusb) winusb=1; shift ;;
    --names) [ $# -ge 2 ] || usage; names_file=$2; shift 2 ;;
    --objdump) [ $# -ge 2 ] || usage; objdump_tool=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -eq 1 ] && [ -n "$names_file" ] || usage
dll=$1
[ -n "$module" ] || module=$(basename "$dll")

case $machine in
i386) format=pei-i386; magic=010b; toolprefix=i686-w64-mingw32- ;;
x86-64) format=pei-x86-64; magic=020b; toolprefix=x86_64-w64-mingw32- ;;
*) usage ;;
esac
if ! echo "$version" | grep -Eq '^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$'; then
    usage
fi

if [ -z "$objdump_tool" ]; then
    if command -v "${toolprefix}objdump" >/dev/null 2>&1; then
        objdump_tool=${toolprefix}objdump
    else
        objdump_tool=objdump
    fi
fi

for f in "$dll" "$names_file" ${sim_header:+"$sim_header"}; do
    if [ ! -r "$f" ]; then
        echo "check_dll_exports: cannot read $f" >&2
        exit 2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

if ! "$objdump_tool" -p "$dll" >"$work/headers" 2>"$work/objdump.err"; then
    echo "check_dll_exports: $objdump_tool -p $dll failed:" >&2
    cat "$work/objdump.err" >&2
    exit 2
fi
# A DLL without resources has no .rsrc section; the version check then reports it.
"$objdump_tool" -s -j .rsrc "$dll" >"$work/rsrc" 2>/dev/null || :

: >"$work/declared"
if [ -n "$sim_header" ]; then
    grep -o 'MV620Sim_[A-Za-z0-9_]*[[:space:]]*(' "$sim_header" |
        sed 's/[[:space:]]*($//' | sort -u >"$work/declared"
    if [ ! -s "$work/declared" ]; then
        echo "check_dll_exports: $sim_header declares no MV620Sim_ function" >&2
        exit 2
    fi
fi

status=0

# ---- Machine, exports and imports, from objdump -p ------------------------------------------
awk -v dll="$dll" -v format="$format" -v magic="$magic" -v module="$module" \
    -v names="$names_file" -v declared="$work/declared" -v sim="${sim_header:+1}" '
BEGIN {
    failures = 0
    while ((getline line < names) > 0) {
        if (line ~ /^[ \t]*(#|$)/) continue
        split(line, f, /[ \t]+/)
        expectedOrdinal[f[2]] = f[1] + 0
        nameOfOrdinal[f[1] + 0] = f[2]
        expectedCount++
    }
    while ((getline line < declared) > 0) {
        isDeclared[line] = 1
        declaredCount++
    }
    split("kernel32.dll user32.dll msvcrt.dll advapi32.dll ntdll.dll setupapi.dll", allowed, " ")
    for (i in allowed) isAllowed[allowed[i]] = 1
    section = ""
}
function fail(message) {
    print "FAIL: " message
    failures++
}
# "name.dll:     file format pei-i386"
/file format / {
    fileFormat = $NF
}
/^Magic[ \t]/ {
    fileMagic = $2
}
/^Name[ \t]/ && section == "" {
    exportModule = $NF
}
/^Ordinal Base[ \t]/ {
    ordinalBase = $NF + 0
    haveExports = 1
}
/^Export Address Table -- Ordinal Base/ { section = "addresses"; next }
/^\[Ordinal\/Name Pointer\] Table/ { section = "names"; next }
/^[ \t]*$/ { section = "" }
# "[   0] +base[   1] 1c28 Export RVA" (or "Forwarder RVA")
section == "addresses" && /\+base\[/ {
    line = $0
    sub(/.*\+base\[[ \t]*/, "", line)
    ordinal = line + 0
    rest = line
    sub(/^[0-9]+\][ \t]*/, "", rest)
    split(rest, parts, /[ \t]+/)
    if (parts[2] == "Forwarder") fail("ordinal " ordinal " is forwarded elsewhere")
    hasAddress[ordinal] = 1
    next
}
# "[  16] Do_AZ_Off": index from the ordinal base, then the name.
section == "names" && /^[ \t]*\[[ \t]*[0-9]+\]/ {
    line = $0
    sub(/^[ \t]*\[[ \t]*/, "", line)
    index0 = line + 0
    name = line
    sub(/^[0-9]+\][ \t]*/, "", name)
    sub(/[ \t]+$/, "", name)
    ordinalOf[name] = index0 + ordinalBase
    exportedNames[++nameCount] = name
    next
}
/DLL Name:/ {
    imports[++importCount] = $NF
}
function plain(name,    p) {
    p = name
    sub(/^_+/, "", p)
    sub(/@[0-9]+$/, "", p)
    return p
}
END {
    if (fileFormat != format) fail("file format is " fileFormat ", expected " format)
    if (fileMagic != magic) fail("optional header magic is " fileMagic ", expected " magic)
    if (!haveExports) {
        fail("no export directory")
    } else {
        if (exportModule != module) fail("export directory names the module " exportModule ", expected " module)
        if (ordinalBase != 1) fail("ordinal base is " ordinalBase ", expected 1")
    }

    for (i = 1; i <= nameCount; i++) {
        name = exportedNames[i]
        ordinal = ordinalOf[name]
        if (name in expectedOrdinal) {
            if (ordinal != expectedOrdinal[name])
                fail(name " is exported at ordinal " ordinal ", expected " expectedOrdinal[name])
            seen[name] = 1
        } else if (plain(name) in expectedOrdinal) {
            fail(name " is a decorated name (leading underscore or @N suffix), expected " plain(name))
        } else if (sim && name ~ /^MV620Sim_/) {
            simCount++
            simSeen[name] = 1
            if (!(name in isDeclared)) fail(name " is exported but not declared in the simulator header")
            if (ordinal <= expectedCount)
                fail(name " takes ordinal " ordinal ", which belongs to " nameOfOrdinal[ordinal])
        } else if (sim && plain(name) ~ /^MV620Sim_/ && (plain(name) in isDeclared)) {
            fail(name " is a decorated name (leading underscore or @N suffix), expected " plain(name))
        } else {
            fail("unexpected export " name " (ordinal " ordinal ")")
        }
        if (ordinal in nameAt) fail("ordinal " ordinal " carries two names: " nameAt[ordinal] " and " name)
        nameAt[ordinal] = name
    }
    for (name in expectedOrdinal) {
        if (!(name in seen)) fail(name " is not exported")
        else if (!(expectedOrdinal[name] in hasAddress)) fail(name " (ordinal " expectedOrdinal[name] ") has no address")
    }
    if (sim) {
        for (name in isDeclared)
            if (!(name in simSeen)) fail(name " is declared in the simulator header but not exported")
    }
    for (ordinal in hasAddress)
        if (!(ordinal in nameAt)) fail("ordinal " ordinal " is exported without a name")

    for (i = 1; i <= importCount; i++) {
        dllName = tolower(imports[i])
        if ((dllName in isAllowed) || dllName ~ /^api-ms-win-.*\.dll$/) continue
        if (dllName ~ /^(libstdc\+\+|libgcc_s|libwinpthread)/)
            fail("imports the toolchain runtime DLL " imports[i] " (the DLL must be linked -static)")
        else
            fail("imports " imports[i] ", which is not a system DLL")
    }
    if (importCount == 0) fail("imports no DLL at all (objdump output not understood?)")

    if (failures == 0) {
        extra = sim ? " and " simCount " MV620Sim_ functions" : ""
        list = ""
        for (i = 1; i <= importCount; i++) list = list (i > 1 ? ", " : "") imports[i]
        print "ok: " dll ": " fileFormat ", module " exportModule ", the " expectedCount \
              " functions at ordinals 1-" expectedCount extra ", imports " list
        exit 0
    }
    exit 1
}' "$work/headers" || status=1

# ---- Version resource, from the bytes of .rsrc -----------------------------------------------
awk -v dll="$dll" -v version="$version" '
function fail(message) {
    print "FAIL: " message
    failures++
}
function le32(p,    v, i) { # 8 hex digits, little-endian, at position p of the hex string
    v = 0
    for (i = 3; i >= 0; i--) v = v * 256 + hexValue(substr(hex, p + 2 * i, 2))
    return v
}
function hexValue(h,    v, i, c) {
    v = 0
    for (i = 1; i <= length(h); i++) {
        c = index("0123456789abcdef", substr(h, i, 1)) - 1
        v = v * 16 + c
    }
    return v
}
function utf16(s,    out, i) { # ASCII text as UTF-16LE hex
    out = ""
    for (i = 1; i <= length(s); i++) out = out sprintf("%02x00", ord[substr(s, i, 1)])
    return out
}
# Position (odd index, on a byte boundary) of `needle` in the hex string, or 0.
function find(needle,    from, p) {
    from = 1
    while ((p = index(substr(hex, from), needle)) > 0) {
        p += from - 1
        if (p % 2 == 1) return p
        from = p + 1
    }
    return 0
}
# The value of string `key` in StringFileInfo: after the key, its terminator and padding.
function stringValue(key,    p, out, unit) {
    p = find(utf16(key) "0000")
    if (p == 0) return "<none>"
    p += length(utf16(key)) + 4
    while (substr(hex, p, 4) == "0000") p += 4
    out = ""
    while (p <= length(hex) && (unit = substr(hex, p, 4)) != "0000") {
        out = out sprintf("%c", hexValue(substr(unit, 1, 2)))
        p += 4
    }
    return out
}
BEGIN {
    for (i = 32; i < 127; i++) ord[sprintf("%c", i)] = i
    hex = ""
}
/^ [0-9a-f]+ / {
    match($0, /^ [0-9a-f]+ /)
    chunk = substr($0, RLENGTH + 1, 35)
    gsub(/ /, "", chunk)
    hex = hex chunk
}
END {
    failures = 0
    split(version, v, ".")
    wantMS = v[1] * 65536 + v[2]
    wantLS = v[3] * 65536 + v[4]
    p = find("bd04effe")
    if (p == 0) {
        fail("no version resource (no VS_FIXEDFILEINFO in .rsrc)")
        exit 1
    }
    fileMS = le32(p + 16); fileLS = le32(p + 24)
    productMS = le32(p + 32); productLS = le32(p + 40)
    fileVersion = sprintf("%d.%d.%d.%d", int(fileMS / 65536), fileMS % 65536, int(fileLS / 65536), fileLS % 65536)
    productVersion = sprintf("%d.%d.%d.%d", int(productMS / 65536), productMS % 65536, int(productLS / 65536), productLS % 65536)
    if (fileMS != wantMS || fileLS != wantLS) fail("fixed file version is " fileVersion ", expected " version)
    if (productMS != wantMS || productLS != wantLS) fail("fixed product version is " productVersion ", expected " version)
    fileString = stringValue("FileVersion")
    productString = stringValue("ProductVersion")
    if (fileString != version) fail("FileVersion string is " fileString ", expected " version)
    if (productString != version) fail("ProductVersion string is " productString ", expected " version)
    if (failures == 0) {
        print "ok: " dll ": file and product version " version
        exit 0
    }
    exit 1
}' "$work/rsrc" || status=1

# ---- The WinUSB backend -----------------------------------------------------------------------
if [ -n "$winusb" ]; then
    winusb_fail() {
        echo "FAIL: no WinUSB backend: $*"
        status=1
    }
    grep -qi 'DLL Name: setupapi\.dll' "$work/headers" || winusb_fail "SetupAPI is not imported"
    for name in LoadLibraryExW GetProcAddress SetupDiGetClassDevsW SetupDiOpenDevRegKey; do
        grep -Eq "[[:space:]]$name\$" "$work/headers" || winusb_fail "$name is not imported"
    done
    # LoadLibraryExW takes the module's name in UTF-16.
    LC_ALL=C od -An -v -tx1 "$dll" | tr -d ' \n' >"$work/bytes"
    utf16=$(printf 'winusb.dll' | od -An -v -tx1 | tr -d ' \n' | sed 's/../&00/g')
    grep -q "$utf16" "$work/bytes" || winusb_fail "winusb.dll is not named in the file"
    for name in WinUsb_Initialize WinUsb_Free WinUsb_GetDescriptor WinUsb_QueryInterfaceSettings \
        WinUsb_QueryPipe WinUsb_SetPipePolicy WinUsb_ControlTransfer WinUsb_ReadPipe \
        WinUsb_WritePipe WinUsb_AbortPipe WinUsb_ResetPipe WinUsb_GetOverlappedResult; do
        LC_ALL=C grep -aq "$name" "$dll" || winusb_fail "$name is not named in the file"
    done
    if [ "$status" -eq 0 ]; then
        echo "ok: $dll: the WinUSB backend (SetupAPI imported, winusb.dll loaded at run time)"
    fi
fi

if [ "$status" -ne 0 ]; then
    echo "$dll does not have the required exports, imports or version"
fi
exit "$status"
