#!/bin/sh
# The cross builds' test launcher (CMAKE_CROSSCOMPILING_EMULATOR): runs a Windows program under
# Wine in the prefix of its machine. See wine.sh.
exec sh "$(dirname "$0")/wine.sh" run "$@"
