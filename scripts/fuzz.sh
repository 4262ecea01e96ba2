#!/usr/bin/env bash
# Fuzzes one of the game's readers: builds its fuzz target with clang++
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) straight from the
# sources it needs and runs it on a copy of its seed corpus.
# Usage: scripts/fuzz.sh <target> [seconds] [build-folder]
#   rtf       the rich-text document reader (fuzz/rtf_reader_fuzz.cpp)
#   wav       the WAV decoder and the mixer's conversion (fuzz/wav_decoder_fuzz.cpp)
#   listing   the score board's listing splitter (fuzz/listing_lines_fuzz.cpp)
#   scenario  the simulator's scenario reader (fuzz/scenario_fuzz.cpp)
# The build folder defaults to build-fuzz-<target>; objects are rebuilt only
# when a source or a header they include changed. Exits non-zero on any
# crash, hang, leak or broken invariant (the failing input is left in the
# build folder); prints the run count.
set -euo pipefail

usage() { echo "usage: $0 rtf|wav|listing|scenario [seconds] [build-folder]" >&2; exit 2; }
[ $# -ge 1 ] || usage
target=$1
seconds=${2:-60}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${3:-$root/build-fuzz-$target}
cxx=${CXX_FUZZ:-clang++}
src=$root/src

# Per target: its sources, extra compile flags, seed folders, dictionary,
# the largest input and the time one input may take (seconds).
defines=()
libs=()
seeds=()
timeout=10
case $target in
  rtf)
    sources=("$src/system/rtf/rtf_document.cpp" "$src/system/rtf/utf8.cpp" "$root/fuzz/rtf_reader_fuzz.cpp")
    seeds=("$root/tests/rtf/corpus")
    dict=$root/fuzz/rtf.dict
    max_len=16384
    ;;
  wav)
    # The decoder and the mixer's conversion of held frames are plain C++:
    # every source file of the sound folder that is no device, mixer or
    # audio output.
    sources=("$src/system/sound/wav_decoder.cpp" "$src/system/sound/frame_mixing.cpp"
             "$root/fuzz/wav_decoder_fuzz.cpp")
    seeds=("$root/fuzz/corpus/wav")
    dict=$root/fuzz/wav.dict
    max_len=4096
    ;;
  listing)
    sources=("$src/online/listing_text.cpp" "$root/fuzz/listing_lines_fuzz.cpp")
    seeds=("$root/fuzz/corpus/listing")
    dict=$root/fuzz/listing.dict
    max_len=4096
    ;;
  scenario)
    # The whole program as the simulator runs it, on the recording doubles.
    sources=()
    for dir in sim program shell game profile online window doubles system/files system/log system/rtf system/module; do
      sources+=("$src/$dir"/*.cpp)
    done
    sources+=("$root/fuzz/scenario_fuzz.cpp")
    # The data folder's long names are hashed with libcrypto, which the
    # game loads when a name first needs it.
    libs=(-ldl)
    # The score service's address, as the game's build sets it.
    defines=(-DKORVALA_FTP_HOST='"127.0.0.1:2121"' -DKORVALA_FTP_USER='"korvala"'
             -DKORVALA_SCORES_PAGE='"http://127.0.0.1:2180/"' -DKORVALA_CRYPTO_SONAME='"libcrypto.so.3"')
    # The scenarios the simulator's tests run, and a few more.
    seeds=("$root/tests/scenarios" "$root/fuzz/corpus/scenario")
    dict=$root/fuzz/scenario.dict
    # A scenario may play up to 24 hours of virtual time; a few kilobytes of
    # commands keep every input well under a second.
    max_len=4096
    ;;
  *) usage ;;
esac

mkdir -p "$build/obj"
build=$(cd "$build" && pwd)
binary=$build/${target}_fuzz
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$src" "${defines[@]}")

# Compiles one source to its object unless the object is newer than the
# source and every header it included last time (and the flags are the same).
echo "${flags[*]}" > "$build/obj/flags.new"
if ! cmp -s "$build/obj/flags.new" "$build/obj/flags"; then
  rm -f "$build"/obj/*.o
  mv "$build/obj/flags.new" "$build/obj/flags"
fi
compile() {
  local source=$1 object=$2
  if [ -f "$object" ] && [ -f "$object.d" ]; then
    local stale=0 dep
    for dep in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$object.d"); do
      if [ ! -e "$dep" ] || [ "$dep" -nt "$object" ]; then stale=1; break; fi
    done
    [ $stale = 1 ] || return 0
  fi
  "$cxx" "${flags[@]}" -MMD -MF "$object.d" -c "$source" -o "$object"
}
objects=()
jobs=${FUZZ_JOBS:-$(nproc)}
rm -f "$build"/obj/*.failed
for source in "${sources[@]}"; do
  rel=${source#"$root"/}
  object=$build/obj/${rel//\//_}.o
  objects+=("$object")
  # At most $jobs compilers at a time.
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  { compile "$source" "$object" || : > "$object.failed"; } &
done
wait
if compgen -G "$build/obj/*.failed" >/dev/null; then
  echo "$target fuzz: FAILED: the target does not build"
  exit 1
fi
"$cxx" "${flags[@]}" "${objects[@]}" "${libs[@]}" -o "$binary"

# The fuzzer adds what it finds to its corpus folder: give it a copy, so the
# seeds stay as they are.
corpus=$build/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
for folder in "${seeds[@]}"; do
  [ -d "$folder" ] && find "$folder" -maxdepth 1 -type f -exec cp {} "$corpus"/ \;
done

# The scenario target's data folder: one for the whole run, empty at its start.
export KORVALA_FUZZ_DATA_DIR=$build/data
rm -rf "$KORVALA_FUZZ_DATA_DIR"
mkdir -p "$KORVALA_FUZZ_DATA_DIR"

log=$build/fuzz.log
set +e
"$binary" -max_total_time="$seconds" -timeout="$timeout" -max_len="$max_len" \
  -dict="$dict" -print_final_stats=1 -artifact_prefix="$build/" \
  "$corpus" >"$log" 2>&1
status=$?
set -e

runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "$target fuzz: FAILED (exit $status) after ${runs:-unknown} runs; the failing input is in $build"
  exit 1
fi
if [ -z "$runs" ]; then
  tail -n 20 "$log"
  echo "$target fuzz: FAILED: no run count in $log"
  exit 1
fi
echo "$target fuzz: $runs runs in $seconds s, no crash"
