#!/usr/bin/env bash
# mutate.sh: how strong is the test suite? Each mutant is one small change to a program's
# source (a check, a flag, a flush or a retry dropped, a bound moved by one, a message
# swapped). A mutant the suite fails is killed; one it passes survived, and the case that
# change breaks is untested.
#
#   tools/mutate.sh [-m MUTANTS] [-o RESULTS] [-s SCRATCH] [-k REGEX] [-t SECONDS] TREE
#
# TREE     a source tree (a clone, a worktree, an unpacked `git archive`); it is copied, never
#          built in, and never changed.
# MUTANTS  the list (default: tools/mutants.txt beside this script). One mutant a line, four
#          fields separated by a single tab:
#              id <TAB> file <TAB> fragment <TAB> replacement
#          file is relative to the tree; fragment is exact text that must occur exactly once in
#          that file; replacement may be empty (the fragment is deleted). Both are taken byte
#          for byte, except that <NL> stands for a line end, for a fragment that one line
#          cannot make unique. Lines starting with # and blank lines are skipped.
# RESULTS  a tab-separated file (default: mutate-results.tsv in the current directory), one line
#          a mutant: id, outcome (killed, survived, no-build, no-match), seconds, the tests
#          that failed, the tests newly skipped. Mutants already in it are not run again, so an
#          interrupted run resumes where it stopped.
# SCRATCH  where the copy is built (default: /tmp/mutate-$USER/<basename of TREE>).
# REGEX    only mutants whose id matches (grep -E).
# SECONDS  the time limit of one mutant's test run (default 300); each test has its own, 40 s.
#
# The copy is configured with the plain `test` preset and built once. Then, one mutant at a
# time: apply, rebuild, run the ctest tests of that program's own test executable and of
# programs_test (under a file-size limit, a time limit and a /dev/shm of its own), record,
# restore. A mutant in a program without a test executable runs programs_test alone. One
# build at a time, even across runs of this script, and tests two at a time: the machine is
# shared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mutants=$here/mutants.txt
results=$PWD/mutate-results.tsv
scratch=
only=.
limit=300
while getopts m:o:s:k:t: opt; do
    case $opt in
    m) mutants=$(realpath "$OPTARG") ;;
    o) results=$(realpath -m "$OPTARG") ;;
    s) scratch=$OPTARG ;;
    k) only=$OPTARG ;;
    t) limit=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[[ $# -eq 1 && -d $1 ]] || { echo "usage: $0 [-m list] [-o results] [-s scratch] [-k regex] [-t s] TREE" >&2; exit 2; }
tree=$(realpath "$1")
scratch=${scratch:-/tmp/mutate-${USER:-$(id -un)}/$(basename "$tree")}
case $scratch in /work/main* | "$tree"*) echo "refusing to build in $scratch" >&2; exit 2 ;; esac

# Two runs of this script (a baseline and an after run, say) may share the machine, but never
# build at the same time: every build takes this lock.
build_lock=/tmp/mutate-${USER:-$(id -un)}.build.lock
build() { flock "$build_lock" cmake --build "$scratch/build"; }

log() { printf '%s %s\n' "$(date +%T)" "$*" >&2; }

# A runaway mutant (output read back, a loop that never ends) is stopped by these: 1 GiB of
# file, and the whole test run's time. Each ctest run gets a tmpfs on /dev/shm of its own, so
# that a semaphore a mutant leaves behind cannot meet another run's.
run_ctest() { # regex-file, then ctest arguments
    local tests=$1
    shift
    rm -f "$scratch/build/Testing/Temporary/LastTestsFailed.log" # ctest keeps it after a clean run
    (
        ulimit -f 1048576
        cd "$scratch/build"
        timeout -k 10 "$limit" unshare -m --propagation private \
            sh -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"' sh \
            ctest --timeout 40 -j2 --no-tests=error -I "$tests" "$@" </dev/null
    )
}

# Processes a mutant left behind (a child blocked forever, say) are this harness's own: they
# run a program of the scratch build. Ended by pid.
end_leftovers() {
    local p exe
    for p in /proc/[0-9]*; do
        exe=$(readlink "$p/exe" 2>/dev/null) || continue
        if [[ $exe == "$scratch/build/"* ]]; then kill -KILL "${p#/proc/}" 2>/dev/null || true; fi
    done
}

# The numbers of the tests each test executable holds, as ctest lists them, in -I's file form
# ("0,0,0,n,n,...": no range, then the numbers), one file an executable.
list_tests() {
    (cd "$scratch/build" && ctest --show-only=json-v1) | python3 -c '
import json, os, sys
out = sys.argv[1]
by_exe = {}
for n, t in enumerate(json.load(sys.stdin)["tests"], 1):
    exe = os.path.basename(t["command"][0])
    by_exe.setdefault(exe, []).append(n)
for exe, nums in by_exe.items():
    with open(os.path.join(out, exe + ".tests"), "w") as f:
        f.write("0,0,0," + ",".join(map(str, nums)) + "\n")
' "$scratch/tests"
}

# The subset for a mutant of program $1: its own tests and programs_test's, joined.
subset_for() {
    local own=$scratch/tests/${1}_test.tests all=$scratch/tests/programs_test.tests
    local f=$scratch/tests/$1.subset
    if [[ -f $own ]]; then
        python3 -c 'import sys; a=[l.strip().split(",")[3:] for l in map(open, sys.argv[1:]) for l in l]
print("0,0,0," + ",".join(sorted({n for x in a for n in x}, key=int)))' "$own" "$all" >"$f"
    else
        cp "$all" "$f"
    fi
    echo "$f"
}

# Failed and skipped test names of the last ctest run in the scratch build.
failed_tests() {
    local f=$scratch/build/Testing/Temporary/LastTestsFailed.log
    if [[ -f $f ]]; then cut -d: -f2- "$f" | sort; fi
}
skipped_tests() { grep -E '\*\*\*Skipped|Not Run' "$1" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | sort || true; }

# ---- the copy, built once ----
mkdir -p "$scratch" "$(dirname "$results")"
touch "$results"
if [[ ! -f $scratch/build/build.ninja ]]; then
    log "copying $tree to $scratch"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    tar -C "$tree" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$scratch" -xf -
    rm -rf "$scratch/.pristine"
    (cd "$scratch" && flock "$build_lock" cmake --preset test >/dev/null)
fi
mkdir -p "$scratch/tests" "$scratch/.pristine"
log "building the unchanged tree"
build >"$scratch/build.log" 2>&1 || { tail -30 "$scratch/build.log" >&2; exit 1; }
list_tests

# What the unchanged tree's tests do here: a test that fails or skips without any mutant
# cannot kill one, and is named in the results' header.
if [[ ! -f $scratch/unchanged.failed ]]; then
    log "running the unchanged tree's tests"
    all=$scratch/tests/all.tests
    python3 -c 'import sys; print("0,0,0," + ",".join(sorted({n for f in sys.argv[1:] for n in open(f).read().strip().split(",")[3:]}, key=int)))' "$scratch"/tests/*_test.tests >"$all"
    run_ctest "$all" >"$scratch/unchanged.log" 2>&1 || true
    end_leftovers
    failed_tests >"$scratch/unchanged.failed"
    skipped_tests "$scratch/unchanged.log" >"$scratch/unchanged.skipped"
    log "unchanged: $(grep -c . "$scratch/unchanged.failed" || true) failed, $(grep -c . "$scratch/unchanged.skipped" || true) skipped"
    { printf '# tree %s\n' "$tree"; sed 's/^/# unchanged fails: /' "$scratch/unchanged.failed"; } >>"$results"
fi

# ---- one mutant at a time ----
apply() { # file fragment replacement: exactly one occurrence, or status 3
    python3 - "$@" <<'EOF'
import sys
path, frag, repl = (a.replace("<NL>", "\n") for a in sys.argv[1:4])
text = open(path, encoding="utf-8").read()
if not frag or text.count(frag) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(frag, repl, 1))
EOF
}

# Stopped half-way (Ctrl-C, a kill), the copy is put back as it was, and nothing is left running.
current=
restore() {
    if [[ -n $current ]]; then
        cp "$scratch/.pristine/$current" "$scratch/$current"
        touch "$scratch/$current"
    fi
    current=
}
trap 'restore; end_leftovers' EXIT
trap 'exit 130' INT TERM

while IFS=$'\t' read -r -u 3 id file frag repl || [[ -n ${id:-} ]]; do
    [[ -z $id || $id == \#* ]] && continue
    [[ $id =~ $only ]] || continue
    cut -f1 "$results" | grep -qxF -- "$id" && continue
    src=$scratch/$file
    program=$(basename "$(dirname "$(dirname "$file")")")
    start=$SECONDS
    [[ -f $scratch/.pristine/$file ]] || { mkdir -p "$(dirname "$scratch/.pristine/$file")"; cp -p "$src" "$scratch/.pristine/$file"; }
    outcome='' failed='' skipped=''
    current=$file
    if ! apply "$src" "$frag" "${repl:-}"; then
        outcome=no-match
    elif ! build >"$scratch/build.log" 2>&1; then
        outcome=no-build
    else
        list_tests
        set +e
        run_ctest "$(subset_for "$program")" >"$scratch/run.log" 2>&1
        rc=$?
        set -e
        end_leftovers
        failed=$(failed_tests | grep -vxF -f "$scratch/unchanged.failed" | paste -sd' ' || true)
        skipped=$(skipped_tests "$scratch/run.log" | grep -vxF -f "$scratch/unchanged.skipped" | paste -sd' ' || true)
        if [[ -n $failed ]]; then
            outcome=killed
        elif ((rc == 124 || rc == 137)); then
            outcome=killed failed="(the whole run timed out)"
        else
            outcome=survived
        fi
    fi
    # Restored with a fresh time stamp, so that the next build puts the unchanged program back.
    restore
    printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$outcome" $((SECONDS - start)) "${failed:--}" "${skipped:--}" >>"$results"
    log "$id $outcome $((SECONDS - start))s ${failed:0:120}"
done 3<"$mutants"
log "done: $(grep -v '^#' "$results" | cut -f2 | sort | uniq -c | paste -sd' ')"
