#!/usr/bin/env bash
# Runs one scenario through the simulator and compares its output with the
# expectations written in the scenario itself:
#   #> <line>        a line the simulator must write, in order
#   #! status <n>    the exit status expected (default 0)
#   #! stderr <text> text that standard error must contain
#   #! data unwritable  the data folder lies below a regular file, so
#                       nothing can be written there
set -u
sim=$1 scenario=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed -n 's/^#> //p' "$scenario" > "$work/expected"
want_status=$(sed -n 's/^#! status //p' "$scenario" | head -1)
want_status=${want_status:-0}
data="$work/data"
if grep -q '^#! data unwritable' "$scenario"; then
  : > "$work/file"
  data="$work/file/data"
fi
KORVALA_DATA_DIR="$data" "$sim" < "$scenario" > "$work/actual" 2> "$work/stderr"
status=$?
ok=1
if [ "$status" != "$want_status" ]; then
  echo "exit status $status, expected $want_status"; ok=0
fi
if ! diff -u "$work/expected" "$work/actual"; then ok=0; fi
while IFS= read -r want; do
  if ! grep -qF -- "$want" "$work/stderr"; then echo "stderr lacks: $want"; ok=0; fi
done < <(sed -n 's/^#! stderr //p' "$scenario")
[ $ok = 1 ] || { echo "--- stderr:"; cat "$work/stderr"; exit 1; }
