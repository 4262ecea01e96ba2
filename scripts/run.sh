#!/usr/bin/env bash
# Installs what the game needs, builds it, starts the loopback score server
# (FTP and the scores page; its scores persist between runs), then the game,
# and stops the server when the game ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build

log=build/score-server.log
/usr/bin/python3 scripts/score_server.py > "$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  grep -q "score server ready" "$log" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "score server did not start (see $log); playing without it"; break; }
  sleep 0.1
done
[ "$(id -u)" = 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
build/korvala
