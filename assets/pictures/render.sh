#!/usr/bin/env bash
# Renders the game's pictures from their SVG sources in src/ into <name>.png
# beside this script, at the exact pixel size and kind the game expects.
#
#   render.sh            render every src/*.svg
#   render.sh kena bom   render only the named pictures
#   render.sh --scale 2 --out DIR [names...]
#                        render the set for screens of twice the pixel
#                        density into DIR/<name>@2x.png (likewise 1.5 and
#                        <name>@1.5x.png); without --out they go beside
#                        this script
#
# The 1x pictures (<name>.png) are kept with the sources; the denser sets are
# made by the build. A denser picture is the same drawing at S times the
# scale, ceil(S * width) x ceil(S * height) pixels, of the same kind, with
# its soft edges flattened against the same tone. Where S * width is not
# whole (1.5 x an odd size) the last column is only half covered by the
# drawing; it repeats the column before it so the picture keeps a whole edge
# (likewise the last row).
#
# Kinds:
#   full colour  board, splash2, scores_backdrop, title, credits, result,
#                profile, scoreboard, partner_logo: 24-bit RGB, no alpha
#                (anything transparent in the source is laid on black).
#   palette      MNU0..MNU11, Ki0..Ki2, Ka0..Ka2, Kosong, kena, jam, bom,
#                Teler: indexed PNG, at most 256 colours, palette entry 0 is
#                the single fully transparent entry.
#   icon         icon: RGBA whose alpha is only 0 or 255.
#
# Soft edges of the palette pictures and the icon are flattened against a
# mid tone of what they stand on (the red menu bar, the wooden tray, the
# title page, a window title bar), then alpha is cut at 50 %, so shrunk or
# not they never show a dark halo. A highlighted menu entry is quantised
# together with its plain partner, so the two differ only where the source
# differs: the lettering.
#
# Needs rsvg-convert and /usr/bin/python3 with PIL. The output depends only
# on the sources, the fonts and those tools: no dates or other metadata go
# into the PNGs.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$here/src"
command -v rsvg-convert >/dev/null || { echo "render.sh: rsvg-convert is missing (package librsvg2-bin)" >&2; exit 1; }

scale=1
out="$here"
while [ $# -gt 0 ]; do
  case "$1" in
    --scale) [ $# -ge 2 ] || { echo "render.sh: --scale needs a value" >&2; exit 1; }; scale=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || { echo "render.sh: --out needs a folder" >&2; exit 1; }; out=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "render.sh: unknown option $1" >&2; exit 1 ;;
    *) break ;;
  esac
done
[[ "$scale" =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "render.sh: --scale wants a number like 1.5 or 2, not '$scale'" >&2; exit 1; }
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for f in "$src"/*.svg; do
    [ -e "$f" ] || continue
    names+=("$(basename "$f" .svg)")
  done
fi
[ ${#names[@]} -gt 0 ] || { echo "render.sh: nothing to render in $src" >&2; exit 1; }

# A highlighted menu entry needs its plain partner in the same run.
for n in "${names[@]}"; do
  if [[ "$n" =~ ^MNU([0-9]+)$ ]]; then
    k=${BASH_REMATCH[1]}
    partner="MNU$(( k % 2 == 0 ? k + 1 : k - 1 ))"
    printf '%s\n' "${names[@]}" | grep -qx "$partner" || names+=("$partner")
  fi
done

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 - "$src" "$out" "$tmp" "$scale" "${names[@]}" <<'PY'
import math
import os
import subprocess
import sys
from fractions import Fraction

from PIL import Image

src, out, tmp, scale_text, names = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
SCALE = Fraction(scale_text)
if SCALE <= 0:
    sys.exit("render.sh: --scale must be above 0")
# 1x pictures are <name>.png; a denser set is <name>@2x.png, <name>@1.5x.png.
SUFFIX = "" if SCALE == 1 else "@" + (str(SCALE.numerator) if SCALE.denominator == 1
                                      else format(float(SCALE), "g")) + "x"

FULL = {
    "board": (688, 471),
    "splash2": (687, 471), "scores_backdrop": (687, 471), "title": (687, 471),
    "credits": (687, 471), "result": (687, 471), "profile": (687, 471),
    "scoreboard": (687, 471),
    "partner_logo": (340, 155),
}
# Palette pictures: size and the tone their soft edges are flattened against.
MENU_BAR = (160, 30, 26)      # the red menu bar and the red box it stands in
TRAY = (176, 120, 62)         # the wooden tray under the holes
TITLE_PAGE = (128, 22, 22)    # the dark red box of the title page around the arrows
PALETTE = {}
for i in range(12):
    PALETTE[f"MNU{i}"] = ((209, 41), MENU_BAR)
for side in ("Ki", "Ka"):
    for i in range(3):
        PALETTE[f"{side}{i}"] = ((48, 52), TITLE_PAGE)
for n in ("Kosong", "kena", "jam", "bom", "Teler"):
    PALETTE[n] = ((151, 129), TRAY)
ICON = {"icon": ((32, 32), (200, 200, 200))}


def scaled(size):
    """Pixel size of a picture of 1x size `size` at the chosen scale."""
    return tuple(math.ceil(v * SCALE) for v in size)


def rasterise(name, size):
    """The picture of 1x size `size`, drawn at the chosen scale, as RGBA."""
    svg = os.path.join(src, name + ".svg")
    if not os.path.isfile(svg):
        sys.exit(f"render.sh: no source {svg}")
    png = os.path.join(tmp, name + ".png")
    if SCALE == 1:
        cmd = ["rsvg-convert", "-w", str(size[0]), "-h", str(size[1])]
    else:
        # The drawing's own size times the scale, on a canvas rounded up to
        # whole pixels.
        cmd = ["rsvg-convert", "-z", format(float(SCALE), "g")]
    subprocess.run(cmd + ["-o", png, svg], check=True)
    img = Image.open(png).convert("RGBA")
    want = scaled(size)
    if img.size != want:
        sys.exit(f"render.sh: {name} came out {img.size}, wants {want}")
    w, h = want
    if size[0] * SCALE != w and w >= 2:
        img.paste(img.crop((w - 2, 0, w - 1, h)), (w - 1, 0))
    if size[1] * SCALE != h and h >= 2:
        img.paste(img.crop((0, h - 2, w, h - 1)), (0, h - 1))
    return img


def flatten_edges(img, matte):
    """Blend every partly transparent pixel onto `matte`, then cut alpha at 50 %.
    Returns RGB pixels and a list of booleans: opaque or not."""
    rgb, opaque = [], []
    for r, g, b, a in img.getdata():
        if a >= 128:
            if a < 255:
                r = (r * a + matte[0] * (255 - a) + 127) // 255
                g = (g * a + matte[1] * (255 - a) + 127) // 255
                b = (b * a + matte[2] * (255 - a) + 127) // 255
            rgb.append((r, g, b))
            opaque.append(True)
        else:
            rgb.append(matte)
            opaque.append(False)
    return rgb, opaque


def save_png(img, path, **kw):
    # Write next to the target and rename, so a failed run never leaves half a file.
    part = path + ".part"
    img.save(part, "PNG", optimize=False, **kw)
    os.replace(part, path)


def save_full(name):
    img = rasterise(name, FULL[name])
    base = Image.new("RGBA", img.size, (0, 0, 0, 255))
    save_png(Image.alpha_composite(base, img).convert("RGB"), os.path.join(out, name + SUFFIX + ".png"))


def save_icon(name):
    size, matte = ICON[name]
    img = rasterise(name, size)
    rgb, opaque = flatten_edges(img, matte)
    res = Image.new("RGBA", img.size)
    res.putdata([(r, g, b, 255) if o else (0, 0, 0, 0)
                 for (r, g, b), o in zip(rgb, opaque)])
    save_png(res, os.path.join(out, name + SUFFIX + ".png"))


def save_palette_group(group):
    """Quantise the pictures of `group` with one shared palette of at most 255
    opaque colours; entry 0 of the palette is the transparent one."""
    flat = []
    for name in group:
        size, matte = PALETTE[name]
        img = rasterise(name, size)
        flat.append((name, img.size, matte) + flatten_edges(img, matte))
    opaque_colours = [c for _, _, _, rgb, op in flat for c, o in zip(rgb, op) if o]
    distinct = sorted(set(opaque_colours))
    if len(distinct) <= 255:
        palette = distinct
        lookup = {c: i + 1 for i, c in enumerate(palette)}
        index_of = lookup.__getitem__
    else:
        strip = Image.new("RGB", (len(opaque_colours), 1))
        strip.putdata(opaque_colours)
        q = strip.quantize(colors=255, method=Image.Quantize.MEDIANCUT,
                           dither=Image.Dither.NONE)
        pal = q.getpalette()
        used = sorted(set(q.getdata()))
        palette = [tuple(pal[3 * i:3 * i + 3]) for i in used]
        remap = {old: new + 1 for new, old in enumerate(used)}
        lookup = {c: remap[i] for c, i in zip(opaque_colours, q.getdata())}
        index_of = lookup.__getitem__
    for name, size, matte, rgb, opaque in flat:
        img = Image.new("P", size)
        img.putdata([index_of(c) if o else 0 for c, o in zip(rgb, opaque)])
        entries = [matte] + palette
        img.putpalette([v for c in entries for v in c])
        save_png(img, os.path.join(out, name + SUFFIX + ".png"), transparency=0)


done = set()
for name in names:
    if name in done:
        continue
    if name in FULL:
        save_full(name)
        done.add(name)
    elif name in ICON:
        save_icon(name)
        done.add(name)
    elif name in PALETTE:
        group = [name]
        if name.startswith("MNU"):
            k = int(name[3:])
            group = [f"MNU{k - k % 2}", f"MNU{k - k % 2 + 1}"]
        save_palette_group(group)
        done.update(group)
    else:
        sys.exit(f"render.sh: unknown picture '{name}' (add it to the tables in render.sh)")
    if name in FULL or name in ICON:
        print("rendered", name + SUFFIX)
    else:
        print("rendered", " ".join(n + SUFFIX for n in group))
PY
