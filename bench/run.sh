#!/usr/bin/env bash
# Times filecopy against `dd bs=100` (the same read/write pattern) and linestats against the
# equivalent mawk one-liner, in the same run, and prints the ratios; when clang++ is there,
# also linestats against a clang++ -O2 build of its own source, in paired runs.
# Usage: bench/run.sh [BIN_DIR]   (default: build/bin of this repository; RUNS=5 runs each; needs
# mawk and GNU time)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$src/build/bin}" && pwd) # the repository's own build, wherever this runs from
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

# Wall time of one run of "$@", in nanoseconds.
wall_ns() {
    local start
    start=$(date +%s%N)
    "$@"
    echo $(($(date +%s%N) - start))
}

# Best wall time of $runs runs of "$@", in seconds.
best() {
    local best_ns= ns
    for ((i = 0; i < runs; i++)); do
        ns=$(wall_ns "$@")
        if [ -z "$best_ns" ] || [ "$ns" -lt "$best_ns" ]; then best_ns=$ns; fi
    done
    awk -v ns="$best_ns" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

peak_kb() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1; }

echo "== filecopy vs dd bs=100, 32 MiB of random bytes"
head -c $((32 << 20)) /dev/urandom > "$work/src"
copy_filecopy() { "$bin/filecopy" "$work/src" "$work/dst1" > /dev/null; }
copy_dd() { dd if="$work/src" of="$work/dst2" bs=100 status=none; }
t_copy=$(best copy_filecopy)
t_dd=$(best copy_dd)
cmp "$work/src" "$work/dst1"
echo "filecopy ${t_copy}s  dd ${t_dd}s  filecopy/dd $(ratio "$t_copy" "$t_dd") (best of $runs)"

echo "== linestats vs mawk, lines of 0 to 160 bytes"
mawk 'BEGIN {
    srand(1)
    for (i = 0; i < 160; i++) pad = pad sprintf("%c", 33 + (i * 7) % 90)
    while (total < 52 * 1048576) { n = int(rand() * 161); print substr(pad, 1, n); total += n + 1 }
}' > "$work/lines"
stats_linestats() { "$bin/linestats" < "$work/lines" > "$work/out1"; }
stats_mawk() {
    mawk '{ n++; s += length($0)
            printf "Length of the last line: %d\nAvg length up to now: %.2f\n", length($0), s / n }' \
        < "$work/lines" > "$work/out2"
}
t_stats=$(best stats_linestats)
t_mawk=$(best stats_mawk)
cmp "$work/out1" "$work/out2"
echo "input $(($(wc -c < "$work/lines") >> 20)) MiB, identical output"
echo "linestats ${t_stats}s  mawk ${t_mawk}s  mawk/linestats $(ratio "$t_mawk" "$t_stats") (best of $runs)"

if command -v clang++ > /dev/null; then
    echo "== linestats vs the same source built by clang++ -O2"
    clang++ -std=c++20 -O2 "$src/linestats/src/linestats.cpp" -o "$work/linestats-clang"
    stats_clang() { "$work/linestats-clang" < "$work/lines" > "$work/out3"; }
    # Paired: each run of this build next to one of clang's, first one then the other, so that
    # a change in the machine's load falls on both; the median of the ratios is reported.
    ratios=$(for ((r = 0; r < runs; r++)); do
        if ((r % 2 == 0)); then a=$(wall_ns stats_linestats); b=$(wall_ns stats_clang)
        else b=$(wall_ns stats_clang); a=$(wall_ns stats_linestats); fi
        awk -v a="$a" -v b="$b" 'BEGIN { print a / b }'
    done | sort -g | awk '{ r[NR] = $1 } END { printf "%.2f", r[int((NR + 1) / 2)] }')
    cmp "$work/out1" "$work/out3"
    echo "linestats/clang++ $ratios (median of $runs paired runs), identical output"
fi

echo "== linestats peak memory"
mawk 'BEGIN { for (i = 0; i < 64; i++) s = s "0123456789abcdef"; for (i = 0; i < 10; i++) s = s s
              for (i = 0; i < 20; i++) print s }' > "$work/long"
echo "20 lines of $(($(head -n 1 "$work/long" | wc -c) >> 10)) KiB: $(peak_kb "$bin/linestats" < "$work/long") KiB;" \
     "52 MiB of short lines: $(peak_kb "$bin/linestats" < "$work/lines") KiB"
