#!/usr/bin/env bash
# Fuzzes the rich-text document reader (scripts/fuzz.sh rtf): builds its fuzz
# target with clang++ straight from the codec's sources and runs it on a copy
# of the seed documents.
# Usage: scripts/fuzz-rtf.sh [seconds] [build-folder]
# Exits non-zero on any crash, hang or failed round trip; prints the run count.
set -euo pipefail
exec "$(dirname "${BASH_SOURCE[0]}")/fuzz.sh" rtf "${1:-60}" ${2:+"$2"}
