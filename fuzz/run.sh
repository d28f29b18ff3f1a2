#!/bin/bash
# Runs every fuzz target of a FUZZ=ON build tree for a fixed time each.
#
#   fuzz/run.sh BUILD_DIR [SECONDS]     (default 20 seconds per target)
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ plus what
# earlier runs in the same tree found (BUILD_DIR/fuzz-corpus/<target>/).  A
# crash, a broken invariant, a leak or a timeout fails the run; the input
# that caused it is kept in BUILD_DIR/fuzz-artifacts/ and its bytes are
# printed.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath "$1")
seconds=${2:-20}
targets="shakelog_command_line pinwarden_command_line resample_csv"

passed=0
failed=0
skipped=0
for target in $targets; do
    binary=$build_dir/fuzz/${target}_fuzz
    if [ ! -x "$binary" ]; then
        echo "$target: not built, skipped"
        skipped=$((skipped + 1))
        continue
    fi
    corpus=$build_dir/fuzz-corpus/$target
    artifacts=$build_dir/fuzz-artifacts
    log=$build_dir/fuzz-logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/$target-")
    dictionary=$source_dir/fuzz/$target.dict
    [ -f "$dictionary" ] && options+=(-dict="$dictionary")
    if "$binary" "${options[@]}" "$corpus" "$source_dir/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "$target: ${runs:-?} inputs in ${seconds} s, no finding"
        passed=$((passed + 1))
    else
        echo "$target: FAILED after ${seconds} s at most; log in $log"
        grep -E "invariant broken|ERROR|SUMMARY|runtime error|Test unit written|^0x" "$log" | head -20 || true
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
