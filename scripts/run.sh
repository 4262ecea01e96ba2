#!/usr/bin/env bash
# Installs what the game needs, builds it and starts it. The game starts its
# loopback score server itself when it first needs it (its scores persist
# between runs) and stops it when it ends. Options are passed on to the game
# (korvala --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
[ "$(id -u)" = 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
exec build/korvala "$@"
