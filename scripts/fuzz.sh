#!/usr/bin/env bash
# Fuzzes the bitmap readers for about SECONDS seconds (default 60): builds the libFuzzer
# target with clang (the `fuzz` preset), replays the seed files without the fuzzer, then
# fuzzes a copy of the seeds in the build folder. Fails on any crash, leak, sanitizer
# report or broken reader promise; the input that caused it is kept in build/fuzz/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target bmp_fuzz bmp_fuzz_repro

echo "== replaying the seeds"
"$build/bin/bmp_fuzz_repro" fuzz/seeds >/dev/null

corpus=$build/corpus
rm -rf "$corpus" "$build/crashes"
mkdir -p "$corpus" "$build/crashes"
cp fuzz/seeds/* "$corpus"/

echo "== fuzzing for ${seconds} s"
log=$build/fuzz.log
status=0
# -max_len: a few KB hold every header, table and row case. -malloc_limit_mb: no input
# of that size may make the reader allocate more than this.
"$build/bin/bmp_fuzz" "$corpus" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=256 \
    -artifact_prefix="$build/crashes/" -print_final_stats=1 >"$log" 2>&1 || status=$?

tail -n 15 "$log"
if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|bmp_fuzz: ' "$log"; then
    echo "fuzzing failed (status $status); see $log and $build/crashes/" >&2
    exit 1
fi
echo "fuzzing found nothing: $(grep -m1 -oE 'stat::number_of_executed_units: *[0-9]+' "$log" || true)"
