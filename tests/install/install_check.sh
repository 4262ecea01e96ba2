#!/usr/bin/env bash
# The game as a player gets it: `cmake --install` into a fresh prefix.
#
#   install_check.sh layout CMAKE BUILD_DIR APP_ID APP_DIR
#     The installed tree: the game, its sounds, fonts and web engine module in
#     the game's folder, the relative link on the path, nothing test-only; the
#     desktop entry and the metainfo pass desktop-file-validate and
#     appstreamcli; the icon is there at every size.
#   install_check.sh launch CMAKE BUILD_DIR APP_ID APP_DIR DEJAVU_ONLY_FONTS_CONF
#     The installed game started as the desktop entry starts it (`korvala` on
#     the path) under a private X server and a private sound server with a
#     null output that is recorded: the menu's right arrow is heard, Keluar
#     ends the game. Then with beep5.wav in the game's folder replaced by
#     another WAV and a font configuration without any face near the game's
#     own: the new sound is heard, the game draws with its own copies of the
#     fonts and brings in its installed web engine module, and it ends when
#     told to.
#
# Exit 77 (skipped) when a tool the check needs is not installed.
set -u
mode=${1:?usage: install_check.sh layout|launch CMAKE BUILD_DIR APP_ID APP_DIR [FONTS_CONF]}
cmake=${2:?}
build=${3:?}
id=${4:?}
appdir=${5:?}
fonts_conf=${6:-}
python=/usr/bin/python3

skip() { echo "SKIP: $*"; exit 77; }
[ -x "$python" ] || skip "$python is not installed"
support=$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)
harness=$support/korvala_harness.py

# The game is launched under a private X server and a private sound server
# with a null output (reachable only through its own socket: the check
# neither uses nor disturbs any other sound server on the machine). The
# tests' harness starts both, runs this script again with DISPLAY and the
# sound server's variables set, and stops them afterwards.
if [ "$mode" = launch ] && [ -z "${KORVALA_PRIVATE_SERVERS:-}" ]; then
  for tool in Xvfb xdotool import pulseaudio pactl parec sox; do
    command -v "$tool" >/dev/null 2>&1 ||
      skip "$tool is not installed (needs xvfb, xdotool, imagemagick, pulseaudio, pulseaudio-utils, sox)"
  done
  exec "$python" "$harness" run --xserver --sound-server -- \
    env KORVALA_PRIVATE_SERVERS=1 bash "${BASH_SOURCE[0]}" "$@"
fi

work=$(mktemp -d /tmp/korvala-install.XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
check() {  # description command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  if [ $failures = 0 ]; then echo "all install checks passed"; exit 0; fi
  echo "$failures install check(s) failed"; exit 1
}

prefix=$work/prefix
started=$(date +%s.%N)
if ! "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL cmake --install"
  exit 1
fi
game_dir=$prefix/$appdir
case $appdir in /*) game_dir=$appdir ;; esac
game_dir=$(readlink -f "$game_dir")

if [ "$mode" = layout ]; then
  for tool in desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (Debian packages desktop-file-utils, appstream)"
  done

  # The game's folder: everything the game looks for beside its executable.
  check "the game in its folder" test -x "$game_dir/korvala"
  check "the web engine module beside the game" test -f "$game_dir/korvala_web_engine.so"
  check "the pictures beside the game" cmp -s "$game_dir/korvala_pictures.rcc" "$build/korvala_pictures.rcc"
  for wav in gunshot2 beep5 Auth Birthday External; do
    check "sound $wav.wav beside the game" cmp -s "$game_dir/$wav.wav" "$build/$wav.wav"
  done
  for font in "$build"/fonts/*; do
    [ -e "$font" ] || continue
    check "font $(basename "$font") beside the game" cmp -s "$game_dir/fonts/$(basename "$font")" "$font"
  done
  # The entry on the path: a relative link that still works when the whole
  # prefix moves.
  link=$(readlink "$prefix/bin/korvala")
  check "bin/korvala is a relative link ($link)" test -L "$prefix/bin/korvala" -a -n "$link" -a "${link#/}" = "$link"
  mv "$prefix" "$work/moved"
  check "the link still leads to the game after the prefix moved" test -x "$work/moved/bin/korvala"
  mv "$work/moved" "$prefix"
  check "the link leads to the game in its folder" \
    test "$(readlink -f "$prefix/bin/korvala")" = "$(readlink -f "$game_dir/korvala")"
  # Nothing for tests or development.
  leftovers=$(find "$prefix" -name 'korvala-*' -o -name '*.a' -o -name '*_test*' -o -name 'korvala_sound_play')
  check "nothing test-only installed${leftovers:+: $leftovers}" test -z "$leftovers"
  # The installed game finds its module beside itself, not in the build.
  if command -v readelf >/dev/null 2>&1; then
    check "no build folder in the game's library path" \
      bash -c "! readelf -d '$game_dir/korvala' | grep -E 'RPATH|RUNPATH' | grep -qF '$build'"
  fi

  # The desktop entry and the metainfo.
  desktop=$prefix/share/applications/$id.desktop
  metainfo=$prefix/share/metainfo/$id.metainfo.xml
  check "desktop entry $id.desktop" test -f "$desktop"
  check "metainfo $id.metainfo.xml" test -f "$metainfo"
  echo "--- desktop-file-validate"
  desktop-file-validate "$desktop"; rc=$?
  check "desktop-file-validate (exit $rc)" test $rc = 0
  echo "--- appstreamcli validate --no-net"
  appstreamcli validate --no-net "$metainfo"; rc=$?
  check "appstreamcli validate (exit $rc)" test $rc = 0
  echo "--- appstreamcli validate-tree --no-net"
  appstreamcli validate-tree --no-net "$prefix"; rc=$?
  check "appstreamcli validate-tree (exit $rc)" test $rc = 0
  # What the desktop reads from them leads to the installed game and icon.
  entry() { sed -n "s/^$1=//p" "$desktop" | head -1; }
  check "Exec runs korvala from the path" test "$(entry Exec)" = korvala
  check "Icon is the id" test "$(entry Icon)" = "$id"
  check "Name" test "$(entry Name)" = "Korvala Deluxe 1.0"
  check "Categories" test "$(entry Categories)" = "Game;ArcadeGame;"
  check "the metainfo launches the desktop entry" grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo"
  check "the metainfo provides the binary on the path" grep -qF "<binary>korvala</binary>" "$metainfo"

  # The icon at every size, each a PNG of that size, and the scalable one.
  icons=$prefix/share/icons/hicolor
  check "scalable icon" test -s "$icons/scalable/apps/$id.svg"
  for size in 16 32 48 64 128 256; do
    png=$icons/${size}x${size}/apps/$id.png
    got=$("$python" - "$png" <<'PY'
import struct, sys
try:
    head = open(sys.argv[1], 'rb').read(24)
except OSError:
    print('missing'); sys.exit()
if head[:8] != b'\x89PNG\r\n\x1a\n':
    print('not a PNG'); sys.exit()
print('%dx%d' % struct.unpack('>II', head[16:24]))
PY
)
    check "icon ${size}x${size} ($got)" test "$got" = "${size}x${size}"
  done
  finish
fi

[ "$mode" = launch ] || { echo "unknown mode $mode"; exit 2; }
[ -n "${DISPLAY:-}" ] && pactl info >/dev/null 2>&1 || skip "no private X server or sound server"

# The game's own home.
mkdir -p "$work/home"
chmod 700 "$work/home"
export HOME=$work/home
export XDG_RUNTIME_DIR=$work/home
export XDG_DATA_HOME=$work/home/data
export XDG_CONFIG_HOME=$work/home/config

# Everything the null output plays, from here to the end: 48000 frames of
# 4 bytes a second.
raw=$work/output.raw
parec --latency-msec=20 -d k_null.monitor --format=s16le --rate=48000 --channels=2 --raw >"$raw" &
pids+=($!)
for _ in $(seq 1 50); do [ -s "$raw" ] && break; sleep 0.1; done
mark() { stat -c %s "$raw"; }

# The loudness of the recording between two marks: how many frames are
# audible, the span from the first to the last of them in seconds, and the
# tone's frequency from the zero crossings within that span.
loudness() {
  "$python" - "$raw" "$1" "$2" <<'PY'
import array, sys
data = open(sys.argv[1], 'rb').read()[int(sys.argv[2]) // 4 * 4:int(sys.argv[3]) // 4 * 4]
a = array.array('h'); a.frombytes(data)
left = a[0::2]
loud = [i for i, v in enumerate(left) if abs(v) > 328]  # above 1% of full scale
if not loud:
    print('audible=0 span=0.000 hz=0'); sys.exit()
part = left[loud[0]:loud[-1] + 1]
crossings = sum(1 for x, y in zip(part, part[1:]) if (x < 0) != (y < 0))
span = len(part) / 48000.0
print('audible=%d span=%.3f hz=%.0f' % (len(loud), span, crossings / 2 / span))
PY
}
field() { grep -o "$1=[0-9.]*" <<<"$2" | cut -d= -f2; }
between() { "$python" -c "import sys; sys.exit(0 if $2 <= $1 <= $3 else 1)"; }

# ---- The game, started as the desktop starts it ------------------------------
game=""
start_game() {  # log name, extra environment...
  local log=$1; shift
  env PATH="$prefix/bin:$PATH" QT_QPA_PLATFORM=xcb "$@" korvala >"$work/$log" 2>&1 &
  game=$!
  pids+=($game)
  game_started=$(date +%s.%N)
}
# The game's window, once it is mapped.
find_window() {
  local w
  for _ in $(seq 1 600); do
    w=$(xdotool search --onlyvisible --name '^Korvala Deluxe 1\.0$' 2>/dev/null | head -1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    kill -0 "$game" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# A step of the player at the game's window (tests/support/korvala_player.py
# knows where everything is and what each screen looks like).
drive() { "$python" "$harness" drive "$@"; }
# Waits for the menu: both arrows shown.
wait_for_menu() { kill -0 "$game" 2>/dev/null && drive wait-menu 40; }
click() {  # a place of the game's window
  drive click "$1"
  # Further apart than a double click.
  sleep 0.6
}
right_arrow() { click right-arrow; }
menu_entry() { click menu-entry; }
since() { "$python" -c "import sys; print('%.1f' % ($(date +%s.%N) - $1))"; }
# Waits up to $1 seconds for the game to end; status: its exit status, or
# empty while it still runs.
wait_end() {
  status=""
  for _ in $(seq 1 $(($1 * 10))); do
    if ! kill -0 "$game" 2>/dev/null; then
      wait "$game"; status=$?
      return
    fi
    sleep 0.1
  done
}
show_log() { echo "--- $1"; tail -20 "$work/$1"; }

# Run 1: the sounds as installed.
start_game run1.log
window=$(find_window) || { show_log run1.log; fail "the installed game shows no window"; finish; }
if ! wait_for_menu; then
  import -window root "$work/no-menu.png" 2>/dev/null
  show_log run1.log; fail "the menu did not appear"; finish
fi
echo "menu shown $(since "$game_started") s after the start"
sleep 0.5
before=$(mark)
right_arrow
# Room for a slow machine: the cue lasts 0.12 s.
sleep 1.4
after=$(mark)
silence=$(loudness 0 "$before")
heard=$(loudness "$before" "$after")
echo "before the click: $silence"
echo "after the click:  $heard"
check "silent until the click" test "$(field audible "$silence")" = 0
check "the right arrow's cue is heard from the installed game" test "$(field audible "$heard")" -gt 1000
# The original cue: a short high beep.
check "the cue is beep5.wav as installed (0.12 s)" between "$(field span "$heard")" 0.08 0.2

# Keluar: four more steps to the last entry, then the entry itself.
drive step-menu right 4
menu_entry
wait_end 20
check "Keluar ends the installed game (exit status ${status:-none})" test "${status:-none}" = 0

# Run 2: the player's own cue sound, and a system with no face near the
# game's own.
sox -n -r 22050 -c 1 -b 16 "$work/own.wav" synth 0.6 sine 440 vol 0.5
cp "$work/own.wav" "$game_dir/beep5.wav"
start_game run2.log FONTCONFIG_FILE="$fonts_conf"
window=$(find_window) || { show_log run2.log; fail "the installed game shows no window"; finish; }
wait_for_menu || { show_log run2.log; fail "the menu did not appear"; finish; }
sleep 0.5
before=$(mark)
right_arrow
sleep 1.9
after=$(mark)
heard=$(loudness "$before" "$after")
echo "after the click:  $heard"
check "the replaced beep5.wav is heard (0.6 s)" between "$(field span "$heard")" 0.5 0.7
check "at the replaced sound's pitch (440 Hz)" between "$(field hz "$heard")" 400 480

# Info Online: two steps on, then the entry. Its buttons are drawn with the
# game's own fonts, and its browser brings in the installed module.
right_arrow
right_arrow
menu_entry
maps=/proc/$game/maps
for _ in $(seq 1 600); do
  grep -qF korvala_web_engine.so "$maps" 2>/dev/null && grep -qF "$game_dir/fonts/" "$maps" 2>/dev/null && break
  kill -0 "$game" 2>/dev/null || break
  sleep 0.1
done
module=$(grep -oE '/[^ ]*korvala_web_engine\.so' "$maps" 2>/dev/null | head -1)
check "the browser's engine module is the installed one (${module:-not loaded})" \
  test "$module" = "$(readlink -f "$game_dir")/korvala_web_engine.so"
check "text is drawn with the game's own Liberation Sans" grep -qF "$game_dir/fonts/LiberationSans-Regular.ttf" "$maps"

kill -TERM "$game"
wait_end 20
check "the game ends when told to (status ${status:-none})" test -n "$status"
echo "checked in $(since "$started") s"
[ $failures = 0 ] || { show_log run1.log; show_log run2.log; }
finish
