#!/bin/sh
# The instrument as a WinUSB device of the Wine prefix in which ctest runs the cross builds'
# programs (scripts/wine.sh):
#
#   winusb_device.sh setup   MACHINE DEVICE.exe WINUSB.dll FOLDER   put it in place
#   winusb_device.sh cleanup MACHINE DEVICE.exe                     take it all away again
#
# setup copies the test winusb.dll into the prefix's system folder (keeping Wine's own beside
# it; the prefix runs with WINEDLLOVERRIDES=winusb=n, so Wine's stubs are never loaded). Each
# machine has a prefix of its own (scripts/wine.sh), so that folder is system32 for the 32-bit
# DLL too: a 32-bit prefix has no syswow64. Then it registers two devices with DEVICE.exe
# (mv620_winusb_device): MV620INF, as the project's INF installs the instrument, and
# MV620GENERIC, as a generic WinUSB installer does. Each interface path is made openable by a
# link in the prefix's dosdevices folder to a file of its own in FOLDER; the test winusb.dll
# takes the files of one folder for one instrument. Setup first undoes a setup left over from an
# interrupted run; cleanup succeeds when there is nothing to take away.
set -eu

[ $# -ge 3 ] || {
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
action=$1
machine=$2
device_exe=$3
wine_sh=$(cd "$(dirname "$0")/../../.." && pwd)/scripts/wine.sh

# The GUID a generic installer chose for the device (any GUID but the project's).
generic_guid='{5C1E8D44-0D6B-4B43-9C5A-2F3E1D7A6B90}'

prefix=$(sh "$wine_sh" prefix "$machine")
system=$prefix/drive_c/windows/system32

device() {
    sh "$wine_sh" run "$device_exe" "$@"
}

take_away() {
    device remove
    find "$prefix/dosdevices" -maxdepth 1 -name 'usb#vid_0547&pid_1002#mv620*' -exec rm -f {} +
    if [ -f "$system/winusb.dll.wine" ]; then
        mv -f "$system/winusb.dll.wine" "$system/winusb.dll"
    fi
}

# link PATH FILE: the interface path \\?\NAME opens FILE.
link() {
    name=${1#\\\\?\\}
    ln -sfn "$2" "$prefix/dosdevices/$name"
    lower=$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]')
    [ "$lower" = "$name" ] || ln -sfn "$2" "$prefix/dosdevices/$lower"
}

case $action in
setup)
    [ $# -ge 5 ] || exit 2
    dll=$4
    folder=$5
    take_away
    mkdir -p "$folder"
    cp -f "$system/winusb.dll" "$system/winusb.dll.wine"
    cp -f "$dll" "$system/winusb.dll"
    inf_path=$(device register-inf MV620INF | tr -d '\r')
    generic_path=$(device register-generic MV620GENERIC "$generic_guid" | tr -d '\r')
    : >"$folder/mv620inf"
    : >"$folder/mv620generic"
    link "$inf_path" "$folder/mv620inf"
    link "$generic_path" "$folder/mv620generic"
    printf 'winusb: %s and %s in the %s prefix\n' "$inf_path" "$generic_path" "$machine"
    ;;
cleanup)
    take_away
    echo "winusb: removed"
    ;;
*)
    echo "winusb_device.sh: unknown action '$action' (setup or cleanup)" >&2
    exit 2
    ;;
esac
