#!/usr/bin/env bash
# Runs every program once under valgrind's memcheck, children included, and fails on any
# error it reports. Usage: tools/memcheck.sh BIN_DIR PROGRAM...   (the build's memcheck target
# passes every program it builds)
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd)
shift
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# demo.sh splits RUN_UNDER at blanks, which the clone's path or TMPDIR may hold: the options
# name files in the folder of the logs, from within it.
cp "$here/memcheck.supp" "$logs/"
cd "$logs" || exit 1
RUN_UNDER="valgrind -q --leak-check=full --error-exitcode=99 --suppressions=memcheck.supp --log-file=%p" \
    "$here/demo.sh" "$bin" "$@" > "$logs/output"
status=$?
# With -q a log holds errors only; a child whose status nobody collects still leaves one.
for log in "$logs"/[0-9]*; do
    if [ -s "$log" ]; then
        cat "$log"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "memcheck: no errors in any program" || cat "$logs/output"
exit "$status"
