#!/usr/bin/env bash
# Runs every built program once, each under a header: tools/demo.sh BIN_DIR PROGRAM...
set -u
bin=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
    case $1 in
    filecopy)
        printf 'a small sample file\nwith two lines\n' > "$work/sample.txt"
        "$bin/filecopy" "$work/sample.txt" "$work/copy.txt"
        ;;
    linestats) printf 'hello\n\nab\n' | "$bin/linestats" ;;
    *) "$bin/$1" ;;
    esac
}

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
done
