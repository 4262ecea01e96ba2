#!/usr/bin/env bash
# Installs what the tests need, builds everything (the benchmarks too, so that
# they keep building) and runs every test; builds the model, the handlers and
# the simulator without Qt and runs their tests; builds everything again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests once more
# (the fuzzer already runs sanitized); then the threaded parts under
# ThreadSanitizer; then the Debian package, installed and played by an
# ordinary user.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QTWEBENGINE_DISABLE_SANDBOX=1
start=$(date +%s)
stage() { echo "== $1 ($(( $(date +%s) - start )) s so far)"; }

stage "build and test"
scripts/build.sh build -DKORVALA_BUILD_BENCHMARKS=ON
(cd build && ctest --output-on-failure -j2 -LE bench)

stage "without Qt"
scripts/build.sh build-noqt -DKORVALA_WITH_QT=OFF
(cd build-noqt && ctest --output-on-failure -j2 -LE 'bench|fuzz')

stage "sanitized"
scripts/build.sh build-asan -DKORVALA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j2 -LE 'bench|fuzz')

stage "threads"
scripts/tsan.sh build-tsan

# Last: it installs the package of the first build, plays it as an ordinary
# user with the web engine's sandbox on, and purges it again.
stage "package"
env -u QTWEBENGINE_DISABLE_SANDBOX tests/package/package_check.sh build build/package-artefacts
stage "done"
echo "All tests passed."
