#!/usr/bin/env bash
# Builds the tests of the game's threaded parts with ThreadSanitizer and runs
# them: the sound devices and the mixer's streaming (tests/sound), the score
# service's transfer channels and the board on them (tests/transfer), the
# loopback score server the game starts (tests/score_server), the virtual clock
# (tests/window) and the Qt timers (tests/view). Only those test programs are
# built, so the stage stays short.
# Usage: scripts/tsan.sh [build-folder]   (default build-tsan)
# Exits non-zero on a failed test or any report of a data race (the report
# is in the failing test's output).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-tsan}

targets=(korvala_sound_tests listing_lines_test curl_channel_test listing_board_test loopback_server_test
         window_model_test korvala_view_tests)
# The test suites to run, by their names as the tests list them.
suites=(SoundDevices LongSounds StreamedSound            # tests/sound: devices, mixer, long sounds
        TransferChannelTest TransferChannelTlsTest ListingLines ListingBoard  # tests/transfer
        LoopbackServer                                   # tests/score_server
        ClockFixture                                     # tests/window: the virtual clock
        QtSchedulerTest)                                 # tests/view: the Qt timers

start=$(date +%s)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALA_TSAN=ON > "$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# A renamed suite would silently drop out of this stage: every one must be there.
cd "$build"
for suite in "${suites[@]}"; do
  count=$(ctest -N -R "(^|/)$suite\\." | sed -n 's/^Total Tests: //p')
  if [ "${count:-0}" -eq 0 ]; then
    echo "tsan: no test of the suite $suite found in $build"
    exit 1
  fi
done

# A report makes the test exit with 66 at its end, after all its reports.
# tests/tsan.supp names what is left out, and why.
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp second_deadlock_stack=1 halt_on_error=0 exitcode=66"
regex="(^|/)($(IFS='|'; echo "${suites[*]}"))\\."
ctest --output-on-failure -j2 -R "$regex"
echo "tsan: passed in $(( $(date +%s) - start )) s"
