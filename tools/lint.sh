#!/usr/bin/env bash
# Style and static checks over the whole tree: clang-format, clang-tidy (with the compile
# commands of BUILD_DIR) and the manual pages. Usage: tools/lint.sh [BUILD_DIR]
set -u
cd "$(dirname "$0")/.."
build=${1:-build}
status=0

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${sources[@]}" || status=1

mapfile -t units < <(git ls-files '*.cpp')
# Every finding is an error (.clang-tidy), so a failing run is a finding.
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2> /dev/null ||
    status=1

for page in $(git ls-files '*.1'); do
    warnings=$(groff -ww -z -man "$page" 2>&1)
    [ -z "$warnings" ] || { printf '%s: %s\n' "$page" "$warnings"; status=1; }
done

[ "$status" -eq 0 ] && echo "lint: format, tidy and manual pages clean"
exit "$status"
