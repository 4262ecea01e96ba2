#!/usr/bin/env bash
# Fuzzes the rich-text document reader: builds the fuzz target with clang++
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) straight from the
# codec's sources and runs it on a copy of the seed documents.
# Usage: scripts/fuzz-rtf.sh [seconds] [build-folder]
# Exits non-zero on any crash, hang or failed round trip; prints the run count.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${2:-$root/build-fuzz-rtf}
cxx=${CXX_FUZZ:-clang++}

mkdir -p "$build"
build=$(cd "$build" && pwd)
binary=$build/rtf_reader_fuzz

"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" \
  "$root/src/platform/rtf/rtf_document.cpp" "$root/src/platform/rtf/utf8.cpp" "$root/fuzz/rtf_reader_fuzz.cpp" \
  -o "$binary"

# The fuzzer adds what it finds to its corpus folder: give it a copy, so the
# seed documents stay as they are.
corpus=$build/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
cp "$root"/tests/rtf/corpus/* "$corpus"/

log=$build/fuzz.log
set +e
"$binary" -max_total_time="$seconds" -timeout=10 -max_len=16384 \
  -dict="$root/fuzz/rtf.dict" -print_final_stats=1 -artifact_prefix="$build/" \
  "$corpus" >"$log" 2>&1
status=$?
set -e

runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "rtf fuzz: FAILED (exit $status) after ${runs:-unknown} runs; the failing input is in $build"
  exit 1
fi
if [ -z "$runs" ]; then
  tail -n 20 "$log"
  echo "rtf fuzz: FAILED: no run count in $log"
  exit 1
fi
echo "rtf fuzz: $runs runs in $seconds s, no crash"
