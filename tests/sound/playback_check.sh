#!/usr/bin/env bash
# Plays sounds through a private sound server with a null output, records
# that output, and checks that each sound came out whole: the recorded
# sound lasts as long as its file, not a tenth of a second less. Checks that
# the output stays idle while nothing plays (its stream suspended, the
# server's output not running) and that a cue after such a silence is heard
# from its very first sample. Also checks that a missing file and a missing
# server leave the program silent and exiting normally.
#
#   playback_check.sh PATH/TO/korvala_sound_play
#
# Exit 77 (skipped) when pulseaudio, pactl or sox is not installed, or the
# server cannot be started.
set -u
player=${1:?usage: playback_check.sh korvala_sound_play}

for tool in pulseaudio pactl sox python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (needs pulseaudio, pulseaudio-utils, sox)"
    exit 77
  fi
done

# A server of our own, reachable only through its own socket, so the test
# neither uses nor disturbs any other sound server on the machine: the
# tests' harness starts it, runs this script again as its client, and stops
# it afterwards (exit 77 when it cannot be started).
if [ -z "${KORVALA_PRIVATE_SOUND_SERVER:-}" ]; then
  support=$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)
  exec /usr/bin/python3 "$support/korvala_harness.py" sound-server -- \
    env KORVALA_PRIVATE_SOUND_SERVER=1 bash "${BASH_SOURCE[0]}" "$@"
fi

work=$(mktemp -d /tmp/korvala-sound.XXXXXX)
recorder=""
cleanup() {
  [ -n "$recorder" ] && kill "$recorder" 2>/dev/null && wait "$recorder" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
pactl set-default-sink k_null

# The sounds: a plain 16-bit tone, and a float tone with an extensible header.
sox -n -r 44100 -c 1 -b 16 "$work/tone16.wav" synth 1.0 sine 440 vol 0.5
sox -n -r 48000 -c 2 -e floating-point -b 32 -t wavpcm "$work/tone_float.wav" synth 0.7 sine 660 vol 0.5
python3 - "$work/tone_float.wav" "$work/tone_ext.wav" <<'PY'
# Rewrites a plain float WAV with a WAVE_FORMAT_EXTENSIBLE header.
import struct, sys
src = open(sys.argv[1], 'rb').read()
pos, fmt, data = 12, None, None
while pos + 8 <= len(src):
    cid, size = src[pos:pos+4], struct.unpack('<I', src[pos+4:pos+8])[0]
    body = src[pos+8:pos+8+size]
    if cid == b'fmt ': fmt = body
    if cid == b'data': data = body
    pos += 8 + size + (size & 1)
tag, ch, rate, bps, align, bits = struct.unpack('<HHIIHH', fmt[:16])
guid = struct.pack('<I', tag) + bytes([0,0,0x10,0,0x80,0,0,0xAA,0,0x38,0x9B,0x71])
ext = struct.pack('<HHIIHHHHI', 0xFFFE, ch, rate, bps, align, bits, 22, bits, 3) + guid
out = b'WAVE' + b'fmt ' + struct.pack('<I', len(ext)) + ext + b'data' + struct.pack('<I', len(data)) + data
open(sys.argv[2], 'wb').write(b'RIFF' + struct.pack('<I', len(out)) + out)
PY

# Records the null output while the player runs; prints the player's exit
# code and output, and the span between the first and the last clearly
# audible sample, in seconds.
measure() {
  local name=$1; shift
  local raw="$work/$name.raw"
  parec --latency-msec=20 -d k_null.monitor --format=s16le --rate=48000 --channels=2 --raw >"$raw" &
  recorder=$!
  # Start the player once the recording is flowing.
  for _ in $(seq 1 50); do
    [ -s "$raw" ] && break
    sleep 0.1
  done
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  local rc=$?
  sleep 0.5
  kill -INT "$recorder"; wait "$recorder"; recorder=""
  echo "rc=$rc"
  cat "$work/$name.out"
  sox -t raw -r 48000 -e signed -b 16 -c 2 "$raw" -n stat 2>&1 | grep -E "Length|Maximum amplitude" | sed 's/^/  sox: /'
  python3 - "$raw" <<'PY'
import array, sys
data = open(sys.argv[1], 'rb').read()
a = array.array('h')
a.frombytes(data[:len(data) // 4 * 4])
loud = [i // 2 for i, v in enumerate(a) if abs(v) > 328]  # above 1% of full scale
print('span=%.3f' % ((loud[-1] - loud[0] + 1) / 48000.0 if loud else 0.0))
print('peak=%.3f' % (max((abs(v) for v in a), default=0) / 32768.0))
n = len(a) // 2
print('envelope: ' + ' '.join(str(max(abs(x) for x in a[2 * t:2 * (t + 2400)]) // 1000) for t in range(0, n, 2400)))
PY
}

failures=0
check_span() {  # name expected_seconds result_text
  local name=$1 want=$2 text=$3
  local rc span
  rc=$(grep -o 'rc=[0-9]*' <<<"$text" | cut -d= -f2)
  span=$(grep -o 'span=[0-9.]*' <<<"$text" | cut -d= -f2)
  if [ "$rc" != 0 ] || ! grep -q 'output: yes' <<<"$text" || ! grep -q 'open: ok' <<<"$text"; then
    echo "FAIL $name: player did not play (rc=$rc)"; failures=$((failures + 1)); return
  fi
  if python3 -c "import sys; sys.exit(0 if abs($span - $want) <= 0.04 else 1)"; then
    echo "PASS $name: recorded ${span}s of a ${want}s sound"
  else
    echo "FAIL $name: recorded ${span}s of a ${want}s sound"; failures=$((failures + 1))
  fi
}

out=$(measure tone16 "$player" "$work/tone16.wav" 1.6); echo "$out"
check_span "16-bit 44100 Hz mono tone" 1.0 "$out"

out=$(measure tone_ext "$player" "$work/tone_ext.wav" 1.3); echo "$out"
check_span "32-bit float extensible stereo tone" 0.7 "$out"

# Three cues 300 ms apart on a 1 s tone: each restarts it, so the sound lasts
# 0.6 s for the first two cues plus the whole tone after the last one.
out=$(measure restart "$player" "$work/tone16.wav" 1.6 3 300); echo "$out"
check_span "cue restarts the sound" 1.6 "$out"
# A cue that started a second copy instead of restarting would add up to
# twice the tone's amplitude (the restarts fall on whole cycles of 440 Hz).
peak=$(grep -o 'peak=[0-9.]*' <<<"$out" | cut -d= -f2)
if python3 -c "import sys; sys.exit(0 if $peak < 0.6 else 1)"; then
  echo "PASS cue restarts instead of overlapping: peak $peak"
else
  echo "FAIL cue overlapped the sound: peak $peak"; failures=$((failures + 1))
fi

# A cue after a silence. The sound: a 0.5 s chirp at the output's rate, no
# two stretches alike, at half scale from its first sample on.
python3 - "$work/chirp.wav" <<'PY'
import math, struct, sys
rate, n = 48000, 24000
frames = b''.join(struct.pack('<hh', v, v) for v in (
    round(16384 * math.cos(2 * math.pi * (300 * t + 3000 * t * t))) for t in (i / rate for i in range(n))))
fmt = struct.pack('<HHIIHH', 1, 2, rate, rate * 4, 4, 16)
body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(frames)) + frames
open(sys.argv[1], 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
PY

# The output's state as the server sees it, one line: the sink's state and
# how many streams play into it (not corked).
output_state() {
  local sink streams
  sink=$(pactl list sinks short | awk '$2 == "k_null" {print $NF}')
  streams=$(pactl list sink-inputs | grep -c 'Corked: no')
  echo "sink=$sink playing-streams=$streams"
}
# Samples output_state every 0.1 s for $1 samples; prints the states seen.
sample_states() {
  local i
  for i in $(seq 1 "$1"); do output_state; sleep 0.1; done | sort | uniq -c | sed 's/^ */    /'
}
# Waits until the player's output holds $1 (up to 20 s).
wait_for_line() {
  local i
  for i in $(seq 1 200); do
    grep -q "$1" "$work/silence.out" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

raw="$work/silence.raw"
parec --latency-msec=20 -d k_null.monitor --format=s16le --rate=48000 --channels=2 --raw >"$raw" &
recorder=$!
for _ in $(seq 1 50); do [ -s "$raw" ] && break; sleep 0.1; done
# Cued 4 s after start-up, then 2 s more: 0.5 s of sound, 1.5 s of silence.
"$player" "$work/chirp.wav" 2.0 1 0 4000 >"$work/silence.out" 2>"$work/silence.err" &
silent_player=$!
before=""; during=""; after=""
if wait_for_line '^open:'; then
  sleep 0.3
  before=$(sample_states 8)
  if wait_for_line '^cued'; then
    sleep 0.15
    during=$(output_state)
    sleep 0.9
    after=$(sample_states 6)
  fi
fi
wait "$silent_player"; rc=$?
sleep 0.3
kill -INT "$recorder"; wait "$recorder"; recorder=""
cat "$work/silence.out"
echo "  before the cue:"; echo "$before"
echo "  while the sound plays: $during"
echo "  after the sound:"; echo "$after"
idle_states() { [ -n "$1" ] && ! grep -qE 'sink=RUNNING|playing-streams=[1-9]' <<<"$1"; }
if [ $rc = 0 ] && grep -q 'output: yes' "$work/silence.out" && idle_states "$before" && idle_states "$after" &&
   grep -q 'sink=RUNNING playing-streams=1' <<<"$during" &&
   grep -q 'stream at the end: suspended' "$work/silence.out"; then
  echo "PASS output idle while nothing plays, running while the sound plays"
else
  echo "FAIL output not idle while nothing plays (rc=$rc)"; failures=$((failures + 1))
fi
# The recording from its first loud sample on must be the file from its
# first frame on: a start cut short would line the chirp up with a later
# stretch of itself. The tail must be there too.
verdict=$(python3 - "$raw" "$work/chirp.wav" <<'PY'
import array, sys
rec = array.array('h'); data = open(sys.argv[1], 'rb').read(); rec.frombytes(data[:len(data) // 4 * 4])
wav = open(sys.argv[2], 'rb').read(); ref = array.array('h'); ref.frombytes(wav[44:])
left, want = rec[0::2], ref[0::2]
onset = next((i for i, v in enumerate(left) if abs(v) > 8192), None)
if onset is None:
    print('FAIL nothing heard'); sys.exit()
got = left[onset:onset + len(want)]
worst = max((abs(a - b) for a, b in zip(got, want)), default=99999)
if len(got) < len(want):
    worst = 99999
# Which frame of the file the first recorded frames match best.
best = min(range(0, 2400), key=lambda k: sum(abs(left[onset + i] - want[k + i]) for i in range(0, 480, 4)))
ok = worst <= 328 and best == 0
print('%s recorded sound from frame %d of the file, largest difference %d over %d frames' % (
    'PASS' if ok else 'FAIL', best, worst, len(want)))
PY
)
echo "$verdict cue after a silence"
grep -q '^PASS' <<<"$verdict" || failures=$((failures + 1))

out=$(measure missing "$player" "$work/no-such-file.wav" 0.5); echo "$out"
if grep -q 'rc=0' <<<"$out" && grep -q 'span=0.000' <<<"$out"; then
  echo "PASS missing file: silent, exit 0"
else
  echo "FAIL missing file"; failures=$((failures + 1))
fi

# No server at all: the program still runs and exits normally.
PULSE_SERVER="unix:$work/no-server" "$player" "$work/tone16.wav" 0.2 >"$work/noserver.out" 2>&1
rc=$?
cat "$work/noserver.out" | grep -E '^(output|open):'
if [ $rc = 0 ] && grep -q 'output: none' "$work/noserver.out"; then
  echo "PASS no sound server: silent, exit 0"
else
  echo "FAIL no sound server (rc=$rc)"; failures=$((failures + 1))
fi

[ $failures = 0 ] && echo "all playback checks passed" || echo "$failures playback check(s) failed"
exit $((failures > 0))
