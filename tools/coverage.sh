#!/usr/bin/env bash
# Line and branch coverage of the programs' sources (NAME/src/NAME.cpp) from the counters that
# the tests left in a build configured with COVERAGE=ON: prints one row per program and the
# total, writes an HTML report to BUILD_DIR/coverage/index.html, and fails when the total line
# coverage is under 95% or any one program's is under 90%. Needs gcov and gcovr.
# Usage: tools/coverage.sh BUILD_DIR   (the coverage preset's last step runs it on build-coverage)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:?usage: tools/coverage.sh BUILD_DIR}" && pwd)
total_min=95
program_min=90

mapfile -t counters < <(find "$build" -name '*.gcda' | sort)
if [ ${#counters[@]} -eq 0 ]; then
    echo "coverage: no counters in $build; build it with COVERAGE=ON and run its tests first" >&2
    exit 1
fi
out=$build/coverage
rm -rf "$out"
mkdir -p "$out"

# Only the programs' sources count; a routine test compiles its program's source in, and its
# counts add to the program's own. Branches are counted as the source writes them, without the
# exception edge g++ adds to every call that may throw. gcov's text output, which gcovr 5.2
# reads, marks such an edge only in code that ran, so in code that did not (a program's main
# compiled into its routine test, an error path) it would count as a branch never taken.
# gcov's JSON marks every one; this turns it into a gcovr tracefile without them, and gcovr
# merges and reports from there.
python3 - "$out/gcov.json" "${counters[@]}" << 'EOF'
import json
import os
import re
import subprocess
import sys

trace_file, *counters = sys.argv[1:]
root = os.getcwd()
program_source = re.compile(r"[^/]+/src/[^/]+\.cpp")
files = []
for counter in counters:
    gcov = subprocess.run(["gcov", "--json-format", "--stdout", "--branch-probabilities", counter],
                          check=True, capture_output=True, text=True)
    # A test edited since the build has gcov say so for every unit that includes it; only a
    # program's source out of step with its counters matters here.
    for message in gcov.stderr.splitlines():
        stale = re.match(r"(.*):source file is newer than notes file", message)
        if not (message.startswith("(the message is displayed only once")
                or stale and not program_source.fullmatch(os.path.relpath(stale[1], root))):
            print(message, file=sys.stderr)
    for unit in map(json.loads, gcov.stdout.splitlines()):
        for f in unit["files"]:
            path = os.path.relpath(os.path.join(unit["current_working_directory"], f["file"]), root)
            if not program_source.fullmatch(path):
                continue
            files.append({
                "file": path,
                "functions": [{"name": fn["demangled_name"], "lineno": fn["start_line"],
                               "execution_count": fn["execution_count"]} for fn in f["functions"]],
                "lines": [{"line_number": line["line_number"], "count": line["count"],
                           "branches": [b for b in line["branches"] if not b["throw"]],
                           "gcovr/noncode": False, "gcovr/excluded": False}
                          for line in f["lines"]],
            })
# A routine test's copy of main is renamed and never runs; it is the same function as the
# program's main, which starts on the same line, so both go under the shorter name.
names = {}
for f in files:
    for fn in f["functions"]:
        known = names.setdefault((f["file"], fn["lineno"]), fn["name"])
        names[f["file"], fn["lineno"]] = min(known, fn["name"], key=len)
for f in files:
    for fn in f["functions"]:
        fn["name"] = names[f["file"], fn["lineno"]]
with open(trace_file, "w") as trace:
    json.dump({"gcovr/format_version": "0.3", "files": files}, trace)
EOF

gcovr --root . --add-tracefile "$out/gcov.json" \
    --json-summary "$out/summary.json" --html-details "$out/index.html" \
    --html-title "sysdemos coverage"

# A program no test reached would be missing from gcovr's summary, so the list comes from the
# tree.
python3 - "$out/summary.json" "$total_min" "$program_min" */src/*.cpp << 'EOF'
import json
import sys

summary_file, total_min, program_min, *sources = sys.argv[1:]
total_min, program_min = float(total_min), float(program_min)
files = {f["filename"]: f for f in json.load(open(summary_file))["files"]}


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def cell(covered, total):
    return f"{percent(covered, total):5.1f}% {f'{covered}/{total}':>7}"


print(f"{'program':<12} {'lines':>14}   {'branches':>14}")
sums = [0, 0, 0, 0]
failures = []
for source in sorted(sources):
    name = source.split("/")[0]
    if source not in files:
        print(f"{name:<12} {'no counters':>14}")
        failures.append(f"{name}: no test ran any of it")
        continue
    counts = [files[source][k]
              for k in ("line_covered", "line_total", "branch_covered", "branch_total")]
    sums = [a + b for a, b in zip(sums, counts)]
    print(f"{name:<12} {cell(*counts[:2])}   {cell(*counts[2:])}")
    if (lines := percent(*counts[:2])) < program_min:
        failures.append(f"{name}: line coverage {lines:.1f}% is under {program_min:g}%")
print(f"{'total':<12} {cell(*sums[:2])}   {cell(*sums[2:])}")
if (lines := percent(*sums[:2])) < total_min:
    failures.append(f"total line coverage {lines:.1f}% is under {total_min:g}%")

print(f"HTML report: {summary_file.rsplit('/', 1)[0]}/index.html")
for failure in failures:
    print(f"coverage: {failure}", file=sys.stderr)
sys.exit(1 if failures else 0)
EOF
