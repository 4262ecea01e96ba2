#!/usr/bin/env bash
# Makes the game's five sound cues: 16-bit PCM WAV, 44100 Hz, mono.
#   gunshot2.wav  hit on a target        (noise crack with a low thump)
#   beep5.wav     button click           (short beep)
#   Auth.wav      bomb blast             (low rumble with a long tail)
#   Birthday.wav  the game's own jingle  (bouncy melody over an oom-pah bass)
#   External.wav  opening a menu entry   (two-stroke bell chime)
# Every noise source is seeded, so the same script always writes the same bytes.
# Usage: assets/sounds/make-sounds.sh [output-folder]   (default: beside this script)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here}"
mkdir -p "$out"

/usr/bin/python3 - "$out" <<'PY'
import math, random, struct, sys, wave

RATE = 44100
OUT = sys.argv[1]


def silence(seconds):
    return [0.0] * int(round(seconds * RATE))


def mix_into(buf, start_s, samples, gain=1.0):
    """Adds samples into buf from start_s seconds on, growing buf if needed."""
    i0 = int(round(start_s * RATE))
    end = i0 + len(samples)
    if end > len(buf):
        buf.extend([0.0] * (end - len(buf)))
    for i, s in enumerate(samples):
        buf[i0 + i] += gain * s


def lowpass(samples, cutoff):
    """One-pole low-pass; cutoff may be a number or a function of the sample index."""
    out, y = [], 0.0
    fixed = not callable(cutoff)
    a = 1.0 - math.exp(-2.0 * math.pi * cutoff / RATE) if fixed else 0.0
    for i, x in enumerate(samples):
        if not fixed:
            a = 1.0 - math.exp(-2.0 * math.pi * cutoff(i) / RATE)
        y += a * (x - y)
        out.append(y)
    return out


def highpass(samples, cutoff):
    low = lowpass(samples, cutoff)
    return [x - l for x, l in zip(samples, low)]


def noise(rng, seconds):
    return [rng.uniform(-1.0, 1.0) for _ in range(int(round(seconds * RATE)))]


def envelope(n, attack_s, decay_tau_s, release_s=0.005):
    """Fast linear attack, exponential decay, short linear fade at the very end."""
    att = max(1, int(attack_s * RATE))
    rel = max(1, int(release_s * RATE))
    env = []
    for i in range(n):
        t = i / RATE
        e = min(1.0, i / att) * math.exp(-max(0.0, t - attack_s) / decay_tau_s)
        if i >= n - rel:
            e *= (n - 1 - i) / rel
        env.append(e)
    return env


def normalise(samples, peak=0.89):
    top = max(abs(s) for s in samples) or 1.0
    return [s * peak / top for s in samples]


def write(name, samples):
    samples = normalise(samples)
    with wave.open(f"{OUT}/{name}", "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", int(round(s * 32767))) for s in samples))


# --- gunshot2: sharp crack, noisy body, low thump; ~0.4 s -------------------------------
def gunshot():
    rng = random.Random(2)
    dur = 0.42
    n = int(dur * RATE)
    crack = highpass(noise(rng, dur), 2500.0)
    crack = [c * e for c, e in zip(crack, envelope(n, 0.0008, 0.012))]
    body = lowpass(noise(rng, dur), 1800.0)
    body = [b * e for b, e in zip(body, envelope(n, 0.001, 0.055))]
    thump, phase = [], 0.0
    for i in range(n):
        t = i / RATE
        f = 45.0 + 75.0 * math.exp(-t / 0.03)      # pitch drops fast: a punch, not a tone
        phase += 2 * math.pi * f / RATE
        thump.append(math.sin(phase))
    thump = [s * e for s, e in zip(thump, envelope(n, 0.002, 0.07))]
    return [1.1 * c + 1.6 * b + 1.3 * t for c, b, t in zip(crack, body, thump)]


# --- beep5: short, bright button beep; 0.12 s ----------------------------------------
def beep():
    dur = 0.12
    n = int(dur * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        s = (math.sin(2 * math.pi * 1320 * t)
             + 0.30 * math.sin(2 * math.pi * 2640 * t)
             + 0.12 * math.sin(2 * math.pi * 3960 * t))
        att = min(1.0, t / 0.004)
        rel = min(1.0, (dur - t) / 0.02)
        out.append(s * att * rel)
    return out


# --- Auth: bomb blast; crack, deep rumble that darkens and dies away; ~1.3 s --------
def blast():
    rng = random.Random(5)
    dur = 1.3
    n = int(dur * RATE)
    crack = highpass(noise(rng, dur), 1200.0)
    crack = [c * e for c, e in zip(crack, envelope(n, 0.001, 0.03))]
    # Brown-ish rumble: noise through a low-pass whose cutoff falls from 1.4 kHz to 90 Hz.
    rumble = lowpass(noise(rng, dur), lambda i: 90.0 + 1300.0 * math.exp(-(i / RATE) / 0.12))
    rumble = lowpass(rumble, 600.0)
    rumble = [r * e for r, e in zip(rumble, envelope(n, 0.004, 0.38, 0.05))]
    # Debris crackle: sparse random pops in the first half.
    crackle = [0.0] * n
    for _ in range(70):
        at = int(rng.uniform(0.03, 0.7) * RATE)
        amp = rng.uniform(0.2, 0.7) * math.exp(-(at / RATE) / 0.3)
        for k in range(int(0.004 * RATE)):
            if at + k < n:
                crackle[at + k] += amp * rng.uniform(-1, 1) * (1 - k / (0.004 * RATE))
    boom, phase = [], 0.0
    for i in range(n):
        t = i / RATE
        f = 32.0 + 50.0 * math.exp(-t / 0.1)
        phase += 2 * math.pi * f / RATE
        boom.append(math.sin(phase))
    boom = [b * e for b, e in zip(boom, envelope(n, 0.003, 0.3, 0.05))]
    return [0.6 * c + 5.0 * r + 0.35 * k + 0.9 * b
            for c, r, k, b in zip(crack, rumble, crackle, boom)]


# --- Birthday: the game's own cheerful jingle; 150 bpm, 5 bars, 8 s -----------------
NOTE = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def freq(name):
    """'C5', 'F#4', 'Bb3' -> Hz (A4 = 440)."""
    letter, rest = name[0], name[1:]
    shift = 0
    while rest and rest[0] in "#b":
        shift += 1 if rest[0] == "#" else -1
        rest = rest[1:]
    midi = 12 * (int(rest) + 1) + NOTE[letter] + shift
    return 440.0 * 2 ** ((midi - 69) / 12)


def lead_note(f, seconds):
    """Soft square-ish lead: odd harmonics, pluck envelope, a touch of vibrato."""
    n = int(seconds * RATE)
    out, phase = [], 0.0
    for i in range(n):
        t = i / RATE
        phase += 2 * math.pi * f * (1 + 0.003 * math.sin(2 * math.pi * 5.5 * t)) / RATE
        s = math.sin(phase) + 0.33 * math.sin(3 * phase) + 0.18 * math.sin(5 * phase)
        env = min(1.0, t / 0.006) * (0.55 + 0.45 * math.exp(-t / 0.09))
        env *= min(1.0, (seconds - t) / 0.03)
        out.append(s * env)
    return out


def bass_note(f, seconds):
    """Round triangle bass with a quick decay: the 'oom' and the 'pah'."""
    n = int(seconds * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        x = (f * t) % 1.0
        tri = 4 * abs(x - 0.5) - 1
        env = min(1.0, t / 0.004) * math.exp(-t / 0.25) * min(1.0, (seconds - t) / 0.02)
        out.append(tri * env)
    return out


def hat(rng):
    n = int(0.04 * RATE)
    h = highpass([rng.uniform(-1, 1) for _ in range(n)], 6000.0)
    return [s * math.exp(-(i / RATE) / 0.008) for i, s in enumerate(h)]


def jingle():
    rng = random.Random(9)
    beat = 60.0 / 150.0
    e = beat / 2
    # (note or None for a rest, length in eighths)
    melody = [
        # bar 1, C: climb up and bounce back
        ("G4", 1), ("C5", 1), ("E5", 1), ("G5", 1), ("E5", 2), ("C5", 2),
        # bar 2, A minor: a step higher, skipping down
        ("A4", 1), ("C5", 1), ("E5", 1), ("A5", 1), ("G5", 1), ("E5", 1), ("C5", 1), ("E5", 1),
        # bar 3, F: swing around F, then run up
        ("F5", 1), ("A5", 1), ("F5", 1), ("C5", 1), ("D5", 1), ("E5", 1), ("F5", 1), ("A5", 1),
        # bar 4, G: call and answer
        ("G5", 2), ("D5", 1), ("B4", 1), ("G4", 1), ("B4", 1), ("D5", 1), ("F5", 1),
        # bar 5, C: land high and hold
        ("E5", 1), ("G5", 1), ("C6", 4), (None, 2),
    ]
    chords = [("C3", "G3"), ("A2", "E3"), ("F2", "C3"), ("G2", "D3"), ("C3", "G3")]
    out = silence(5 * 4 * beat)
    t = 0.0
    for name, eighths in melody:
        if name:
            mix_into(out, t, lead_note(freq(name), eighths * e * 0.92), 0.32)
        t += eighths * e
    for bar, (root, fifth) in enumerate(chords):
        start = bar * 4 * beat
        last = bar == len(chords) - 1
        for b in range(4):
            if last and b > 0:
                break
            note = root if b % 2 == 0 else fifth
            length = 4 * beat if last else beat * 0.9
            mix_into(out, start + b * beat, bass_note(freq(note), length), 0.45)
            if not last:
                mix_into(out, start + b * beat + e, hat(rng), 0.12)
    # final chord under the held top note
    for name in ("C4", "E4", "G4"):
        mix_into(out, 4 * 4 * beat + e, lead_note(freq(name), 3 * beat), 0.10)
    return out


# --- External: bright two-stroke bell chime; ~0.7 s ---------------------------------------
def bell(f, seconds):
    # Inharmonic bell partials: (ratio, level, decay time)
    partials = [(1.0, 1.0, 0.28), (2.76, 0.45, 0.12), (5.40, 0.22, 0.06)]
    n = int(seconds * RATE)
    out = []
    for i in range(n):
        t = i / RATE
        s = sum(a * math.exp(-t / d) * math.sin(2 * math.pi * f * r * t) for r, a, d in partials)
        out.append(s * min(1.0, t / 0.002) * min(1.0, (seconds - t) / 0.02))
    return out


def chime():
    out = silence(0.7)
    mix_into(out, 0.0, bell(1046.5, 0.6), 0.8)
    mix_into(out, 0.11, bell(1568.0, 0.59), 0.7)
    return out


write("gunshot2.wav", gunshot())
write("beep5.wav", beep())
write("Auth.wav", blast())
write("Birthday.wav", jingle())
write("External.wav", chime())
PY

# Check what was written: PCM, 16 bit, 44100 Hz, and audible.
for f in gunshot2 beep5 Auth Birthday External; do
  file="$out/$f.wav"
  [ "$(soxi -e "$file")" = "Signed Integer PCM" ] || { echo "$file: not PCM" >&2; exit 1; }
  [ "$(soxi -b "$file")" = 16 ] || { echo "$file: not 16-bit" >&2; exit 1; }
  [ "$(soxi -r "$file")" = 44100 ] || { echo "$file: not 44100 Hz" >&2; exit 1; }
  rms=$(sox "$file" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  awk -v r="$rms" 'BEGIN { exit !(r > 0.01) }' || { echo "$file: silent (RMS $rms)" >&2; exit 1; }
  printf '%-14s %6.3f s  RMS %s\n' "$f.wav" "$(soxi -D "$file")" "$rms"
done
