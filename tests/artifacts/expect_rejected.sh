#!/bin/sh
# Runs a check on a deliberately wrong build and passes only when the check rejects it for the
# expected reason: the check must exit with status 1 (a failed check; not a crash, a usage error
# or a missing tool) and its output must match every PATTERN (extended regular expressions).
#
# usage: expect_rejected.sh PATTERN... -- COMMAND [ARGS...]
set -u

patterns_file=$(mktemp)
output=$(mktemp)
trap 'rm -f "$patterns_file" "$output"' EXIT INT TERM

while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    printf '%s\n' "$1" >>"$patterns_file"
    shift
done
if [ $# -lt 2 ] || [ ! -s "$patterns_file" ]; then
    echo "usage: $0 PATTERN... -- COMMAND [ARGS...]" >&2
    exit 2
fi
shift

"$@" >"$output" 2>&1
status=$?
cat "$output"
echo "---- the check exited with status $status"

verdict=0
if [ "$status" -ne 1 ]; then
    echo "NOT REJECTED AS EXPECTED: status $status, expected 1 (a failed check)"
    verdict=1
fi
while IFS= read -r pattern; do
    if grep -Eq -- "$pattern" "$output"; then
        echo "found: $pattern"
    else
        echo "NOT REJECTED AS EXPECTED: no output line matches: $pattern"
        verdict=1
    fi
done <"$patterns_file"
[ "$verdict" -eq 0 ] && echo "rejected as expected"
exit "$verdict"
