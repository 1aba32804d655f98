#!/usr/bin/env bash
# Fuzzes the bitmap readers and the depth maps in JPEG files for about SECONDS seconds in
# all (default 60, half each): builds the libFuzzer targets with clang (the `fuzz`
# preset), replays each target's seed files without the fuzzer, then fuzzes a copy of the
# seeds in the build folder. Fails on any crash, leak, sanitizer report or broken reader
# promise; the input that caused it is kept in build/fuzz/crashes-TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target bmp_fuzz bmp_fuzz_repro depth_fuzz depth_fuzz_repro

# fuzz TARGET SEEDS SECONDS
fuzz() {
    local target=$1 seeds=$2 time=$3
    echo "== replaying the seeds of $target"
    "$build/bin/${target}_repro" "$seeds" >/dev/null

    local corpus=$build/corpus-$target crashes=$build/crashes-$target
    rm -rf "$corpus" "$crashes"
    mkdir -p "$corpus" "$crashes"
    cp "$seeds"/* "$corpus"/

    echo "== fuzzing $target for ${time} s"
    local log=$build/$target.log status=0
    # -max_len: a few KB hold every header, table and row case, and a small portrait.
    # -malloc_limit_mb: no input of that size may make a reader allocate more than this.
    "$build/bin/$target" "$corpus" \
        -max_total_time="$time" -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=256 \
        -artifact_prefix="$crashes/" -print_final_stats=1 >"$log" 2>&1 || status=$?

    tail -n 15 "$log"
    if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|$target: " "$log"; then
        echo "fuzzing $target failed (status $status); see $log and $crashes/" >&2
        exit 1
    fi
    echo "fuzzing $target found nothing: $(grep -m1 -oE 'stat::number_of_executed_units: *[0-9]+' "$log" || true)"
}

fuzz bmp_fuzz fuzz/seeds $((seconds - seconds / 2))
fuzz depth_fuzz fuzz/depth_seeds $((seconds / 2))
