#!/bin/sh
# The game as a desktop menu starts it: a bad line in the player's settings
# file, or in a system-wide one, does not stop it; it starts (here it quits
# after its first frame) and says the line once, in the korvala.online log
# category, with the file, the line and why. A bad option typed on the
# command line still stops it before any window: status 2 and one line.
#   settings_at_start.sh <korvala-test-game>
set -u
game=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

run() {  # run <stderr file> [options...]: the game's status
    out=$1; shift
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/xdg" \
        XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen KORVALA_BENCH=1 \
        timeout 60 "$game" "$@" 2>"$out" >/dev/null
}

for where in config xdg; do
    rm -rf "$work/config" "$work/xdg"
    file="$work/$where/Korvala/korvala.conf"
    mkdir -p "$(dirname "$file")"
    printf '[scores]\nftp-host = bad host\nftp-user = me\n' > "$file"
    run "$work/err" ; status=$?
    [ "$status" -eq 0 ] || fail "$where: the game ended with status $status before its first frame: $(cat "$work/err")"
    grep -q '^first-frame ' "$work/err" || fail "$where: no first frame"
    said=$(grep -c "^korvala.online: settings file \"$file\", line 2: bad ftp-host \"bad host\": .*ignored" "$work/err")
    [ "$said" -eq 1 ] || { fail "$where: the bad line was said $said times, not once:"; cat "$work/err"; }
done

rm -rf "$work/config" "$work/xdg"
run "$work/err" --ftp-host "bad host"; status=$?
[ "$status" -eq 2 ] || fail "a bad option: status $status, not 2"
[ "$(wc -l < "$work/err")" -eq 1 ] || { fail "a bad option: not one line:"; cat "$work/err"; }
grep -q '^korvala: bad --ftp-host "bad host"' "$work/err" || fail "a bad option: $(cat "$work/err")"

[ "$failed" -eq 0 ] && echo "ok"
exit "$failed"
