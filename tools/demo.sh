#!/usr/bin/env bash
# Runs every built program once, each under a header, and fails when any of them fails.
# Usage: tools/demo.sh BIN_DIR PROGRAM...   (RUN_UNDER="valgrind ..." runs each under a tool)
set -u
bin=$1
shift
read -r -a under <<< "${RUN_UNDER:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
    case $1 in
    filecopy)
        printf 'a small sample file\nwith two lines\n' > "$work/sample.txt"
        "${under[@]}" "$bin/filecopy" "$work/sample.txt" "$work/copy.txt"
        ;;
    linestats) printf 'hello\n\nab\n' | "${under[@]}" "$bin/linestats" ;;
    *) "${under[@]}" "$bin/$1" ;;
    esac
}

failed=0
for program in "$@"; do
    printf '==> %s\n' "$program"
    # Through a pipe, so that children that outlive their parent (semrelay) are waited for too.
    run "$program" | cat > "$work/out"
    status=${PIPESTATUS[0]}
    cat "$work/out"
    if [ -s "$work/out" ] && [ -n "$(tail -c 1 "$work/out")" ]; then
        printf '\n(no line end after the output)\n'
    fi
    printf '(exit status %d)\n\n' "$status"
    [ "$status" -eq 0 ] || failed=1
done
exit "$failed"
