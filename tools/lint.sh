#!/usr/bin/env bash
# Style and static checks over the whole tree: clang-format, clang-tidy (with the compile
# commands of BUILD_DIR), the programs' copies of die and the manual pages.
# Usage: tools/lint.sh [BUILD_DIR]
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

# The programs share no code, so each carries its own diagnostic exit: the eleven copies of
# die, its declaration and its definition, must stay the same text.
die_text() {
    grep -Fx '[[noreturn]] void die(const char *msg, int error = errno);' "$1"
    awk '/^\[\[noreturn\]\] void die\(const char \*msg, int error\)$/ { on = 1 }
         on { print } on && /^}$/ { exit }' "$1"
}
mapfile -t programs < <(git ls-files '*/src/*.cpp')
reference=$(die_text "${programs[0]}")
[ -n "$reference" ] || { echo "${programs[0]}: no die found"; status=1; }
for program in "${programs[@]}"; do
    [ "$(die_text "$program")" = "$reference" ] ||
        { echo "$program: die differs from ${programs[0]}'s"; status=1; }
done

for page in $(git ls-files '*.1'); do
    warnings=$(groff -ww -z -man "$page" 2>&1)
    [ -z "$warnings" ] || { printf '%s: %s\n' "$page" "$warnings"; status=1; }
done

[ "$status" -eq 0 ] && echo "lint: format, tidy, die copies and manual pages clean"
exit "$status"
