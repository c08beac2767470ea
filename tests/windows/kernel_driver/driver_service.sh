#!/bin/sh
# The test kernel driver as a service of the Wine prefix in which ctest runs the cross builds'
# programs (scripts/wine.sh), managed with the prefix's own sc.exe:
#
#   driver_service.sh start  MACHINE SERVICE DRIVER.sys   create the service and start it
#   driver_service.sh stop   MACHINE SERVICE              stop it (the device goes away)
#   driver_service.sh remove MACHINE SERVICE              delete the service
#
# MACHINE is win32 or win64. A service left over from an interrupted run is stopped and deleted
# before the new one is created; stopping or removing a service that is not there succeeds.
set -eu

[ $# -ge 3 ] || {
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
action=$1
machine=$2
service=$3
wine_sh=$(cd "$(dirname "$0")/../../.." && pwd)/scripts/wine.sh

# The prefix's sc.exe of the driver's machine: a 64-bit driver needs a service that a 64-bit
# program created.
sc() {
    sh "$wine_sh" system "$machine" sc "$@"
}

# state: the service's state word (RUNNING, STOPPED, ...), or nothing when it is not installed.
state() {
    sc query "$service" 2>/dev/null | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# wait_for STATE: polls until the service is in STATE; a deadline only against hangs.
wait_for() {
    tries=0
    while [ "$(state)" != "$1" ]; do
        tries=$((tries + 1))
        if [ "$tries" -gt 600 ]; then
            echo "driver_service.sh: $service did not reach $1 (state: $(state))" >&2
            return 1
        fi
        sleep 0.1
    done
}

case $action in
start)
    [ $# -ge 4 ] || exit 2
    driver=$(cd "$(dirname "$4")" && pwd)/$(basename "$4")
    [ -f "$driver" ] || {
        echo "driver_service.sh: no driver at $driver" >&2
        exit 1
    }
    # Wine's drive Z: is the root of the Unix file system.
    binary="Z:$(printf '%s' "$driver" | tr / '\\')"
    # The outcome of each step is read from the service's state, not from sc's exit status:
    # under load a Wine process can fail on its way out after it has done its work.
    if [ -n "$(state)" ]; then
        sc stop "$service" >/dev/null 2>&1 || :
        wait_for STOPPED
        sc delete "$service" || :
        wait_for ""
    fi
    sc create "$service" type= kernel start= demand binPath= "$binary" || :
    wait_for STOPPED
    sc start "$service" || :
    wait_for RUNNING
    echo "$service: $binary running in the $machine prefix"
    ;;
stop)
    if [ -z "$(state)" ]; then
        echo "$service: not installed"
        exit 0
    fi
    if [ "$(state)" != STOPPED ]; then
        sc stop "$service" >/dev/null || :
    fi
    wait_for STOPPED
    echo "$service: stopped"
    ;;
remove)
    if [ -n "$(state)" ]; then
        sc delete "$service" || :
        wait_for ""
    fi
    echo "$service: removed"
    ;;
*)
    echo "driver_service.sh: unknown action '$action' (start, stop or remove)" >&2
    exit 2
    ;;
esac
