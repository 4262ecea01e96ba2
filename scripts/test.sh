#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test, then
# builds everything again with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the tests once more (the fuzzer already runs sanitized).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QTWEBENGINE_DISABLE_SANDBOX=1

scripts/build.sh build
(cd build && ctest --output-on-failure -j2 -LE bench)

scripts/build.sh build-asan -DKORVALA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j2 -LE 'bench|fuzz')
scripts/tsan.sh build-tsan
echo "All tests passed."
