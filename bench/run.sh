#!/usr/bin/env bash
# Times filecopy against `dd bs=100` (the same read/write pattern) and linestats against the
# equivalent mawk one-liner, in the same run, and prints the ratios.
# Usage: bench/run.sh [BIN_DIR]   (default build/bin; needs mawk and GNU time)
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

# Best wall time of $runs runs of "$@", in seconds.
best() {
    local best_ns= start end
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        "$@"
        end=$(date +%s%N)
        if [ -z "$best_ns" ] || [ $((end - start)) -lt "$best_ns" ]; then best_ns=$((end - start)); fi
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

echo "== linestats peak memory"
mawk 'BEGIN { for (i = 0; i < 64; i++) s = s "0123456789abcdef"; for (i = 0; i < 10; i++) s = s s
              for (i = 0; i < 20; i++) print s }' > "$work/long"
echo "20 lines of $(($(head -n 1 "$work/long" | wc -c) >> 10)) KiB: $(peak_kb "$bin/linestats" < "$work/long") KiB;" \
     "52 MiB of short lines: $(peak_kb "$bin/linestats" < "$work/lines") KiB"
