"""The player of the X-driven tests: where everything sits in the game's
window (the screen map), how each screen is told from the others by its
colours, reading text off the screen (tesseract), and the player's steps
with real X input, the whole-game bot among them. The fault harness uses it
from Python, the end-to-end test from C++ through `korvala_harness.py
session`, and the install check from the shell through `korvala_harness.py
drive`.

All places are in client pixels of the game window: (x, y, width, height).
"""
import json
import os
import subprocess
import sys
import time

from PIL import Image, ImageChops

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvala_harness as harness  # noqa: E402

WINDOW_TITLE = "Korvala Deluxe 1.0"
WINDOW_SIZE = (687, 470)

# ------------------------------------------------------------------ the screen map

WINDOW = (0, 0) + WINDOW_SIZE
# The menu: the arrows, the entry picture and the entry's lettering beside its emblem.
LEFT_ARROW = (208, 288, 48, 52)
RIGHT_ARROW = (464, 288, 48, 52)
MENU_ENTRY = (256, 296, 209, 41)
ENTRY_TITLE = (314, 304, 134, 28)
# The game board.
HOLES = {1: (160, 120, 119, 105), 2: (416, 120, 111, 97), 3: (272, 192, 135, 113),
         4: (112, 256, 151, 129), 5: (424, 248, 151, 129)}
BOARD_HOLES = (112, 120, 463, 265)
PLAYER_NAME = (380, 20, 150, 22)
# The result panel.
HITS = (320, 218, 120, 50)
YES = (400, 320, 49, 25)
NO = (464, 320, 49, 25)
# The profile panel.
NAME_FIELD = (256, 208, 233, 25)
NAME_TEXT = (258, 210, 229, 21)
PROFILE_OK = (368, 368, 57, 17)


# The board panel: the score board's rows Nama(0) to Nama(9), the part of
# each inside its bar's rounded ends, and the buttons.
def row(k):
    return (48, 88 + 32 * k, 585, 25)


def row_text(k):
    x, y, w, h = row(k)
    return (x + 2, y, w - 7, h)


FIRST_ROW_ENTRY = (row(0)[0] + 120, row(0)[1], 300, row(0)[3])  # the first row, after its number
BOARD_BACK = (328, 432, 97, 25)      # "Kembali Ke Menu"
BOARD_REFRESH = (432, 432, 105, 25)  # "Perbaharui"
PREVIOUS_PAGE = (552, 432, 57, 25)   # "<<"
NEXT_PAGE = (616, 432, 57, 25)       # ">>"
# The information panel.
WEB_VIEW = (24, 216, 641, 233)
INFO_REFRESH = (448, 184, 105, 25)
INFO_BACK = (560, 184, 105, 25)
SCORES_TABLE = (WEB_VIEW[0] + 8, WEB_VIEW[1] + 56, WEB_VIEW[2] - 16, 70)  # the scores page's first rows
CREDITS_EXIT = (340, 200)  # a click anywhere on the credits leads back

# Every place by name, for the session and the command line.
PLACES = {"window": WINDOW, "left-arrow": LEFT_ARROW, "right-arrow": RIGHT_ARROW, "menu-entry": MENU_ENTRY,
          "entry-title": ENTRY_TITLE, "board-holes": BOARD_HOLES, "player-name": PLAYER_NAME, "hits": HITS,
          "yes": YES, "no": NO, "name-field": NAME_FIELD, "name-text": NAME_TEXT, "profile-ok": PROFILE_OK,
          "board-back": BOARD_BACK, "board-refresh": BOARD_REFRESH, "previous-page": PREVIOUS_PAGE,
          "next-page": NEXT_PAGE, "web-view": WEB_VIEW, "info-refresh": INFO_REFRESH, "info-back": INFO_BACK,
          "scores-table": SCORES_TABLE, "first-row-entry": FIRST_ROW_ENTRY}
PLACES.update({"hole%d" % k: r for k, r in HOLES.items()})
PLACES.update({"row%d" % k: row(k) for k in range(10)})
PLACES.update({"row-text%d" % k: row_text(k) for k in range(10)})


def place(name):
    """A place by name, or "x,y,w,h" / "x,y" written out."""
    if name in PLACES:
        return PLACES[name]
    parts = tuple(int(v) for v in name.split(","))
    if len(parts) not in (2, 4):
        raise ValueError("no place %r" % name)
    return parts


def center(rect):
    if len(rect) == 2:
        return rect
    x, y, w, h = rect
    return x + w // 2, y + h // 2


def area(rect):
    return rect[2] * rect[3]


# ------------------------------------------------------------------ colours and screens


def qgray(p):
    r, g, b = p[:3]
    return (r * 11 + g * 16 + b * 5) // 32


def green(p):
    r, g, b = p
    return g > 120 and g > r + 40 and g > b + 40


def red(p):
    r, g, b = p
    return r > 150 and r > g + 60 and r > b + 60


def white(p):
    return min(p) > 225


def dark(p):
    return max(p) < 40


def outline(p):
    return qgray(p) < 70


def orange(p):
    """The orange frame between the score board's bars."""
    r, g, b = p
    return r > 220 and 120 < g < 215 and b < 100


def yellow(p):
    """The first rows' yellow letters."""
    r, g, b = p
    return r > 200 and g > 200 and b < 120


def button_face(p):
    """A push button's light grey face."""
    r, g, b = p
    return 200 < r < 252 and abs(r - g) < 12 and abs(g - b) < 12


def page_heading(p):
    """The scores page's dark blue heading."""
    r, g, b = p
    return abs(r - 0x20) < 24 and abs(g - 0x42) < 24 and abs(b - 0x4f) < 24


def crop(shot, rect):
    x, y, w, h = rect
    return shot.crop((x, y, x + w, y + h))


def count(shot, rect, kind):
    return sum(1 for p in crop(shot, rect).getdata() if kind(p))


def difference(a, b, rect=WINDOW):
    """Mean difference of the colour channels of two screens in rect: 0 the
    same, 255 opposite."""
    a, b = crop(a, rect), crop(b, rect)
    bands = ImageChops.difference(a, b).split()
    total = 0
    for band in bands:
        total += sum(v * n for v, n in enumerate(band.histogram()))
    return total / (3.0 * area(rect))


def entry_change(a, b):
    """Per cent of the menu entry's pixels where one screen has the label's
    dark outline and the other not. The label's fill lightens under the
    pointer, the outline stays: the same entry stays near 0, another entry is
    several per cent."""
    pa, pb = crop(a, MENU_ENTRY).getdata(), crop(b, MENU_ENTRY).getdata()
    differ = sum(1 for p, q in zip(pa, pb) if outline(p) != outline(q))
    return 100.0 * differ / area(MENU_ENTRY)


def same_entry(a, b):
    return entry_change(a, b) < 2.0


# What each screen shows, told by colours only it has in those places.
def menu_shown(s):
    return count(s, LEFT_ARROW, green) > 300 and count(s, RIGHT_ARROW, green) > 300


def result_shown(s):
    return count(s, YES, green) > 400 and count(s, NO, red) > 400


def profile_shown(s):
    return count(s, NAME_FIELD, white) > 3000


def splash_shown(s):
    """The first splash: a logo on black."""
    black = count(s, WINDOW, dark)
    return area(WINDOW) * 8 // 10 < black < area(WINDOW) - 2000


def empty_board_shown(s):
    """The board with hole 1 empty: its black opening, not a whole black screen."""
    opening = count(s, HOLES[1], dark)
    return 1000 < opening < 5000 and not menu_shown(s) and not result_shown(s) and not profile_shown(s)


def board_panel_shown(s):
    """The score board: the orange lines between its ten bars."""
    lines = sum(count(s, (60, row(k)[1] + row(k)[3] + 3, 560, 1), orange) for k in range(9))
    return lines > 9 * 560 * 8 // 10


def board_lists(s):
    """The score board with an entry in its first row (yellow letters after
    the row's number): a listing reached it."""
    return board_panel_shown(s) and count(s, FIRST_ROW_ENTRY, yellow) > 150


def info_shown(s):
    """The information panel: its two buttons above the web view."""
    return (count(s, INFO_REFRESH, button_face) > area(INFO_REFRESH) // 2 and
            count(s, INFO_BACK, button_face) > area(INFO_BACK) // 2 and not menu_shown(s))


def page_shown(s):
    """The scores page in the web view: its heading across the top."""
    heading = (WEB_VIEW[0], WEB_VIEW[1] + 4, WEB_VIEW[2], 24)
    return info_shown(s) and count(s, heading, page_heading) > area(heading) * 7 // 10


SCREENS = {"menu": menu_shown, "result": result_shown, "profile": profile_shown, "splash": splash_shown,
           "empty-board": empty_board_shown, "board-panel": board_panel_shown, "board-lists": board_lists,
           "info": info_shown, "scores-page": page_shown}


# ------------------------------------------------------------------ reading text

INKS = ("brightest", "grey", "green", "against-line")


def text_picture(shot, region, ink, scale=4):
    """The region in grey, dark letters on light and `scale` times as large.
    How the letters stand out: "brightest" (each pixel's brightest channel:
    white and red letters alike on dark), "grey" (its brightness: dark letters
    of any colour on light), "green" (the green channel: yellow letters on
    red), "against-line" (the distance from each pixel line's usual colour:
    any letters on a plain bar)."""
    part = crop(shot, region)
    w, h = part.size
    pixels = list(part.getdata())
    levels = []
    for y in range(h):
        line = pixels[y * w:(y + 1) * w]
        if ink == "against-line":
            usual = [sorted(p[c] for p in line)[w // 2] for c in range(3)]
            levels += [255 - min(255, 2 * max(abs(p[0] - usual[0]), abs(p[1] - usual[1]), abs(p[2] - usual[2])))
                       for p in line]
        elif ink == "brightest":
            levels += [max(p) for p in line]
        elif ink == "grey":
            levels += [qgray(p) for p in line]
        elif ink == "green":
            levels += [p[1] for p in line]
        else:
            raise ValueError("no ink %r" % ink)
    if sum(levels) < 128 * w * h:
        levels = [255 - v for v in levels]
    text = Image.new("L", (w, h))
    text.putdata(levels)
    return text if scale == 1 else text.resize((w * scale, h * scale), Image.BILINEAR)


def read_text(picture, segmentation=7):
    """The text tesseract reads in a picture file, or None without
    tesseract. Page segmentation 7 reads one line, 6 a block of lines."""
    reader = "/usr/bin/tesseract"
    if not os.access(reader, os.X_OK):
        return None
    run = subprocess.run([reader, picture, "stdout", "--psm", str(segmentation)], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    return run.stdout.decode("utf-8", "replace").strip()


def squeezed(text):
    """Text without its blanks: how far apart the reader sets words varies."""
    return "".join(text.split())


MATCHES = {
    "exact": lambda read, want: squeezed(read) == squeezed(want),
    # The highlighted lettering's I may read as i.
    "lower": lambda read, want: squeezed(read).lower() == squeezed(want).lower(),
    "contains": lambda read, want: squeezed(want) in squeezed(read),
}


class RowNumber:
    """A score board row's letters at their own size, and the columns its
    leading number takes: from the first letters to the first gap as wide as
    a blank."""

    def __init__(self, shot, k):
        self.letters = text_picture(shot, row_text(k), "against-line", 1)
        w, h = self.letters.size
        data = list(self.letters.getdata())
        self.columns = [[data[y * w + x] for y in range(h)] for x in range(w)]
        self.first, self.end = -1, w
        blank = 0
        for x in range(w):
            if any(v < 128 for v in self.columns[x]):
                if self.first < 0:
                    self.first = x
                blank = 0
            elif self.first >= 0:
                blank += 1
                if blank == 4:
                    self.end = x - 3
                    break
        self.first = max(self.first, 0)

    def ink_after(self):
        """Letter pixels right of the number: none on a row without an entry."""
        return sum(1 for col in self.columns[self.end:] for v in col if v < 128)


# Letters the reader takes for digits on the board's bars: where only row
# numbers stand, they can only be those digits (a bold orange "8" on its dark
# bar reads as "B").
_AS_DIGITS = str.maketrans({"B": "8", "O": "0", "o": "0"})


def as_row_numbers(read):
    """A reading of the rows' numbers with the digits' look-alikes put right."""
    return read.translate(_AS_DIGITS)


def row_numbers_text(first):
    """"1.2.3.4.5.6.7.8.9.10." for the numbers of the rows from 1 on."""
    return "".join("%d." % (first + k) for k in range(10))


def row_numbers_picture(rows):
    """The ten rows' numbers side by side on one line, four times as large:
    the reader takes a line of numbers more surely than a number on its own."""
    space = 10
    width = space + sum(r.end - r.first + space for r in rows)
    height = rows[0].letters.size[1] + 2 * space
    line = Image.new("L", (width, height), 255)
    x = space
    for r in rows:
        line.paste(r.letters.crop((r.first, 0, r.end, r.letters.size[1])), (x, space))
        x += r.end - r.first + space
    return line.resize((width * 4, height * 4), Image.BILINEAR)


# ------------------------------------------------------------------ what a hole shows

# A hole's picture always fills the hole's rectangle (holes 1 to 3 scale it to
# their size, holes 4 and 5 have its size), so one picture covers the same
# cells of a grid laid over any hole. A cell belongs to the creature where it
# differs from the same hole when empty; there it keeps its colour.
GRID = (24, 20)
CELLS = GRID[0] * GRID[1]
EMPTY, TARGET, CLOCK_CARRIER, BOMB_CARRIER, KNOCKED_OUT = range(5)
KIND_NAMES = ("empty", "target", "clock carrier", "bomb carrier", "knocked out")

# The turn pattern, holes 1 to 5 of each turn: 0 empty, 1 target, 2 clock
# carrier, 3 bomb carrier. A game's first three turns teach the bot the looks.
PATTERN = [
    (0, 1, 2, 3, 0), (0, 1, 0, 1, 0), (0, 2, 1, 0, 1), (3, 2, 1, 3, 0), (0, 1, 2, 1, 3),
    (1, 3, 1, 3, 1), (3, 3, 0, 3, 3), (2, 3, 1, 1, 3), (3, 2, 0, 3, 3), (1, 0, 0, 0, 1),
    (0, 1, 0, 1, 1), (1, 0, 1, 0, 0), (1, 0, 1, 1, 0), (0, 0, 0, 1, 1), (0, 0, 0, 1, 3),
    (3, 1, 3, 0, 0), (3, 1, 3, 1, 3), (3, 3, 3, 1, 3), (3, 3, 0, 1, 3), (3, 0, 0, 3, 2),
    (2, 2, 2, 2, 2), (2, 3, 3, 2, 1), (2, 3, 2, 3, 1), (3, 3, 3, 3, 3), (3, 1, 3, 2, 3),
]
LEARNING_TURNS = 3
# The countdown: 30 s and the tick that finds no time left; each clock
# carrier hit adds 5 s. The bot hits clock carriers only while the game still
# ends by time within the cap; past the cap it ends the game on a bomb carrier.
GAME_SECONDS = 31
CLOCK_SECONDS = 5
GAME_CAP = 40.0
# A turn lasts 2.5 s from the turn clock's tick, which comes before the bot
# sees the new pictures; the bot clicks only early in a turn, so that a click
# never lands on the next turn's bomb carrier.
CLICK_WINDOW = 1.5
# A hole is clicked as a target or clock carrier only when it is this much
# nearer to that look than to any bomb carrier's.
BOMB_MARGIN = 0.05
# Two looks of a hole differ by more than this when its picture changed.
CHANGED = 0.04


def _cells(shot, hole):
    """The mean colour of each cell of the grid over the hole."""
    x, y, w, h = HOLES[hole]
    means = []
    for cy in range(GRID[1]):
        top, bottom = y + cy * h // GRID[1], y + (cy + 1) * h // GRID[1]
        for cx in range(GRID[0]):
            left, right = x + cx * w // GRID[0], x + (cx + 1) * w // GRID[0]
            means.append(shot.crop((left, top, right, bottom)).resize((1, 1), Image.BOX).getpixel((0, 0)))
    return means


def colour_distance(a, b):
    return (abs(a[0] - b[0]) + abs(a[1] - b[1]) + abs(a[2] - b[2])) // 3


class HoleLook:
    def __init__(self, shot, empty_cells, hole):
        self.colour = _cells(shot, hole)
        self.creature = [colour_distance(c, e) > 24 for c, e in zip(self.colour, empty_cells)]
        self.fill = sum(self.creature) / CELLS  # the creature's share of the cells


def look_distance(a, b):
    """0 for the same look, 1 for looks with nothing in common."""
    total = 0.0
    for ca, cb, pa, pb in zip(a.creature, b.creature, a.colour, b.colour):
        if ca != cb:
            total += 1
        elif ca:
            total += min(1.0, colour_distance(pa, pb) / 96.0)
    return total / CELLS


class Eyes:
    """The looks learned so far; a hole reads as the nearest of them."""

    def __init__(self):
        self.learned = []

    def learn(self, kind, look):
        self.learned.append((kind, look))

    def read(self, look):
        """(kind, distance to the nearest look learned, distance to the
        nearest bomb carrier learned)."""
        if look.fill < 0.06:
            return EMPTY, 0.0, 1.0
        kind, nearest, bomb = EMPTY, 2.0, 1.0
        for known_kind, known in self.learned:
            d = look_distance(look, known)
            if d < nearest:
                nearest, kind = d, known_kind
            if known_kind == BOMB_CARRIER:
                bomb = min(bomb, d)
        return kind, nearest, bomb


# ------------------------------------------------------------------ the player


class Player:
    """A player at the game's window on an X server: screen captures, real
    pointer and key events (XTest), and the steps of the tests, each waiting
    for what the screen shows. `game` (a harness.Game) is watched while
    waiting: a game that ends meanwhile fails the wait at once."""

    def __init__(self, xserver, game=None, artefacts="", say=None):
        self.x = xserver
        self.game = game
        self.artefacts = artefacts
        self.window = None
        self.origin = (0, 0)
        self.kept = 0
        self.started = harness.now()
        self.say = say or (lambda text: print(text, flush=True))

    # -- the game

    def running(self):
        return self.game is not None and self.game.running()

    def log_tail(self, lines=20):
        return self.game.log_tail(lines) if self.game else ""

    def kill(self):
        if self.game:
            self.game.kill()

    # -- the window

    def find_window(self, limit=60):
        self.window = self.x.wait_window(WINDOW_TITLE, limit)
        if not self.window:
            said = self.game.log_tail() if self.game else ""
            raise AssertionError("no window captioned %r; the game says:\n%s" % (WINDOW_TITLE, said))
        self.origin = self.x.origin(self.window)
        return self.window

    def capture(self):
        """What the screen shows in the game window's place (dialogs included)."""
        return self.x.capture(self.origin[0], self.origin[1], *WINDOW_SIZE)

    def keep(self, shot, name, folder=None):
        """Keeps a screen as NN-<name>.png among the test's artefacts; the file."""
        folder = self.artefacts if folder is None else folder
        if shot is None or not folder:
            return None
        os.makedirs(folder, exist_ok=True)
        self.kept += 1
        path = os.path.join(folder, "%02d-%s.png" % (self.kept, name))
        shot.save(path)
        self.say("%6.1f s  %s" % (harness.now() - self.started, os.path.basename(path)))
        return path

    # -- input

    def click(self, rect_or_point):
        """Points at a place in the window and clicks the left button; when
        the button went down (the game may act on the press)."""
        px, py = center(rect_or_point)
        return self.x.click(self.origin[0] + px, self.origin[1] + py)

    def chord(self, modifier, key):
        self.x.press(key, modifier)

    def type(self, text):
        self.x.type(text)

    # -- waiting for the screen

    def _check_running(self, what):
        if self.game is not None and not self.game.running():
            raise AssertionError("the game ended while waiting for %s; it says:\n%s" % (what, self.game.log_tail()))

    def poll(self, ready, limit):
        """Polls the screen until `ready` holds: the capture that showed it,
        or None at the time limit."""
        deadline = harness.now() + limit
        while True:
            shot = self.capture()
            if shot is not None and ready(shot):
                return shot
            if harness.now() >= deadline:
                return None
            time.sleep(0.05)

    def wait_for(self, what, ready, limit, keep_never=True):
        """As poll(), and at the time limit the last capture is kept for a
        look; fails at once when the game has ended meanwhile."""
        deadline = harness.now() + limit
        while True:
            self._check_running(what)
            shot = self.capture()
            if shot is not None and ready(shot):
                return shot
            if harness.now() >= deadline:
                break
            time.sleep(0.05)
        if keep_never:
            self.keep(self.capture(), "never-" + what.replace(" ", "-"))
        return None

    def expect(self, what, ready, limit):
        """wait_for(), failing with `what` when the screen never shows it."""
        shot = self.wait_for(what, ready, limit)
        if shot is None:
            raise AssertionError("never saw %s" % what)
        return shot

    def settled(self, region=WINDOW, limit=3.0):
        """The screen once `region` stops changing between two captures (or
        the last capture after `limit`): a frame that is fully painted."""
        deadline = harness.now() + limit
        last = self.capture()
        while harness.now() < deadline:
            time.sleep(0.08)
            shot = self.capture()
            if difference(last, shot, region) < 0.1:
                return shot
            last = shot
        return last

    def wait_text(self, region, name, limit, ink, segmentation, accept):
        """Polls the text tesseract reads in `region` until `accept` takes
        it: the last reading, or None without tesseract. The picture read is
        kept as ocr-<name>.png."""
        deadline = harness.now() + limit
        folder = self.artefacts or "."
        picture = os.path.join(folder, "ocr-%s.png" % name)
        while True:
            text_picture(self.capture(), region, ink).save(picture)
            read = read_text(picture, segmentation)
            if read is None or accept(read):
                return read
            if harness.now() >= deadline:
                return read
            time.sleep(0.2)

    def wait_row_numbers(self, first, blank_from, name, limit):
        """Polls the score board until its rows' numbers read as `first`. to
        `first + 9`. (blanks aside) and the rows from `blank_from` on show
        nothing after their numbers: the last reading, or None without
        tesseract. The picture read is kept as ocr-<name>.png."""
        expected = row_numbers_text(first)
        deadline = harness.now() + limit
        picture = os.path.join(self.artefacts or ".", "ocr-%s.png" % name)
        while True:
            shot = self.capture()
            rows = [RowNumber(shot, k) for k in range(10)]
            ink_after = sum(r.ink_after() for k, r in enumerate(rows) if k >= blank_from)
            row_numbers_picture(rows).save(picture)
            read = read_text(picture)
            if read is None:
                return None
            read = as_row_numbers(read)
            if ink_after > 0:
                read += " (and letters after the numbers from row %d on)" % (blank_from + 1)
            if squeezed(read) == expected or harness.now() >= deadline:
                return read
            time.sleep(0.3)

    # -- the menu

    def menu_up(self, what, limit):
        """The menu once it is up and its entry painted: the settled screen,
        or None."""
        if self.wait_for(what, menu_shown, limit) is None:
            return None
        return self.settled(MENU_ENTRY)

    def step_menu(self, arrow, times=1, what="the next menu entry", limit=15, must=True):
        """Clicks a menu arrow `times` times, each time waiting for the next
        entry: the settled menu showing the last one; when it never shows,
        fails (`must`) or gives None."""
        shot = None
        for _ in range(times):
            before = self.capture()
            self.click(arrow)
            if self.wait_for(what, lambda s: menu_shown(s) and entry_change(before, s) > 4.0, limit) is None:
                if must:
                    raise AssertionError("never saw %s" % what)
                return None
            shot = self.settled(MENU_ENTRY)
        return shot

    # -- the fault tests' short game

    def end_demo_game(self, limit=90):
        """The demo's game ended by the bomb carrier of the first turn in hole
        4 (clicked until the result panel shows; the game also ends by itself
        after 30 s)."""
        deadline = harness.now() + limit
        while harness.now() < deadline:
            self._check_running("the end of the demo's game")
            shot = self.capture()
            if shot is not None and result_shown(shot):
                return self.settled()
            self.click(HOLES[4])
            time.sleep(0.4)
        raise AssertionError("the result panel never showed")

    def to_menu_from_result(self):
        self.click(NO)
        return self.expect("the menu", menu_shown, 20)

    def quit_by(self, how, keluar_steps):
        """Quits with the menu's Keluar (`keluar_steps` right of the current
        entry) or by closing the window; the seconds from the click to the end
        of the process, and the exit status."""
        if how == "keluar":
            if keluar_steps:
                self.step_menu(RIGHT_ARROW, keluar_steps)
            clicked = self.click(MENU_ENTRY)
        else:
            clicked = self.x.close(self.window)
        status = harness.wait_end(self.game.proc, clicked + 60)
        return harness.now() - clicked, status

    # -- the bot

    def looks(self, shot, empty_cells):
        return {i: HoleLook(shot, empty_cells[i], i) for i in HOLES}

    def play(self, mulai, empty_board, turn_shot, turn_seen):
        """Plays a whole game from its first turn on: learns the looks in the
        first turns, then clicks what it reads as targets and (while the game
        still ends by time within the cap) clock carriers, never bomb carriers
        until the cap. `mulai` is when Mulai was clicked, `turn_seen` when the
        first turn showed on `turn_shot`. What it did, as a dict."""
        played = {"result": None, "seconds": 0.0, "turns": 0, "targetHits": 0, "clockHits": 0, "unsure": 0,
                  "misread": 0, "bombClicked": False, "log": []}
        empty_cells = {i: _cells(empty_board, i) for i in HOLES}
        eyes = Eyes()
        last = self.looks(turn_shot, empty_cells)
        previous_turn = [None]

        def note(text):
            played["log"].append(text)
            self.say("%6.1f s  %s" % (harness.now() - mulai, text))

        def hit(i, learning):
            """Clicks hole i and waits for it to show the knocked-out target
            while the other holes stay: the hit seen. False when the turn
            ended first or nothing changed."""
            self.click(HOLES[i])
            deadline = harness.now() + 1.0
            while harness.now() < deadline:
                time.sleep(0.04)
                shot = self.capture()
                if result_shown(shot):
                    return False
                looks = self.looks(shot, empty_cells)
                if any(look_distance(looks[j], last[j]) > CHANGED for j in HOLES if j != i):
                    return False
                if look_distance(looks[i], last[i]) > CHANGED:
                    knocked = HoleLook(self.settled(HOLES[i], 1.0), empty_cells[i], i)
                    if learning:
                        eyes.learn(KNOCKED_OUT, knocked)
                    last[i] = knocked
                    return True
            return False

        def row_of(turn):
            return PATTERN[(turn - 1) % 25]

        def play_turn(shot, seen):
            played["turns"] += 1
            learning = played["turns"] <= LEARNING_TURNS
            capped = harness.now() - mulai > GAME_CAP
            reading = {i: eyes.read(last[i]) for i in HOLES}

            def reads(pattern_row):
                return all(reading[i][0] == pattern_row[i - 1] for i in HOLES)

            # Held up for more than a turn, the bot may miss one: it goes on
            # from the turn it sees.
            if (not learning and not reads(row_of(played["turns"])) and reads(row_of(played["turns"] + 1))
                    and previous_turn[0] is not None and seen - previous_turn[0] > 4.0):
                note("a turn went by while the bot was held up")
                played["turns"] += 1
            previous_turn[0] = seen
            pattern_row = row_of(played["turns"])
            if not learning and not reads(pattern_row):
                played["misread"] += 1
            note("turn %d: read %s(pattern %s) distance/bomb %s%s" % (
                played["turns"], "".join("%d " % reading[i][0] for i in HOLES),
                "".join("%d " % v for v in pattern_row),
                "".join("%.2f/%.2f " % (reading[i][1], reading[i][2]) for i in HOLES),
                "learning" if learning else ""))
            if learning:
                for i in HOLES:
                    if pattern_row[i - 1] != EMPTY:
                        eyes.learn(pattern_row[i - 1], last[i])

            for i in HOLES:
                kind, nearest, bomb = reading[i]
                if learning:
                    kind = pattern_row[i - 1]
                clock_wanted = GAME_SECONDS + CLOCK_SECONDS * (played["clockHits"] + 1) <= GAME_CAP
                wanted = (kind == TARGET or (kind == CLOCK_CARRIER and clock_wanted and not learning) or
                          (kind == BOMB_CARRIER and capped and not played["bombClicked"]))
                if not wanted:
                    continue
                if not learning and kind != BOMB_CARRIER and bomb - nearest < BOMB_MARGIN:
                    note("  hole %d: too near a bomb carrier's look, left alone" % i)
                    continue
                if harness.now() - seen > CLICK_WINDOW:
                    note("  hole %d: too late in the turn, left alone" % i)
                    continue
                if kind == BOMB_CARRIER:
                    self.click(HOLES[i])
                    played["bombClicked"] = True
                    note("  hole %d: bomb carrier clicked to end the game" % i)
                    return
                if hit(i, learning):
                    played["targetHits" if kind == TARGET else "clockHits"] += 1
                else:
                    played["unsure"] += 1
                    note("  hole %d: the %s did not show as hit" % (i, KIND_NAMES[kind]))
                    return
            self.keep(shot, "board-turn-%02d" % played["turns"])

        play_turn(turn_shot, turn_seen)
        # A changed hole after the turn's hits is the next turn, once two
        # captures agree (the board painter may be half-way).
        change_seen = None
        deadline = mulai + GAME_CAP + 60
        while harness.now() < deadline:
            shot = self.capture()
            if result_shown(shot):
                played["result"] = shot
                played["seconds"] = harness.now() - mulai
                break
            looks = self.looks(shot, empty_cells)
            if not any(look_distance(looks[i], last[i]) > CHANGED for i in HOLES):
                change_seen = None
                time.sleep(0.03)
                continue
            if change_seen is None:
                change_seen = harness.now()
            time.sleep(0.04)
            again = self.capture()
            if result_shown(again):
                continue
            looks_again = self.looks(again, empty_cells)
            if not all(look_distance(looks[i], looks_again[i]) < 0.01 for i in HOLES):
                continue
            for i in HOLES:
                last[i] = looks_again[i]
            play_turn(again, change_seen)
            change_seen = None
        return played


# ------------------------------------------------------------------ the session


class Session:
    """A private X server, the game in it and a player at it, driven by one
    JSON request a line with one JSON answer a line: what the C++ end-to-end
    test runs through korvala_harness.py session. Screens captured are kept
    by name ("shots") and referred to by name in later requests; places are
    named as in PLACES; times are seconds of the monotonic clock (the same
    clock as C++'s steady_clock). Each answer has "ok"; a failed request
    "error", and a request that cannot be met here "skip"."""

    def __init__(self, artefacts):
        self.artefacts = artefacts
        self.work = harness.tempfile.mkdtemp(prefix="korvala-session.")
        self.x = harness.XServer(self.work).start()
        self.game = None
        self.player = Player(self.x, None, artefacts, say=lambda text: print(text, file=sys.stderr, flush=True))
        self.shots = {}

    def stop(self):
        if self.game:
            self.game.kill()
        self.x.stop()
        harness.shutil.rmtree(self.work, ignore_errors=True)

    def shot(self, name):
        if name not in self.shots:
            raise KeyError("no screen kept as %r" % name)
        return self.shots[name]

    def _store(self, name, shot):
        if shot is not None and name:
            self.shots[name] = shot
        return {"found": shot is not None}

    def _screen(self, req):
        """The condition a wait waits for: a screen of SCREENS, or "changed"
        (the region differs from shot `from` by more than `above`), or
        "menu-step" (the menu with another entry than shot `from`)."""
        screen = req["screen"]
        if screen == "changed":
            base, region, above = self.shot(req["from"]), place(req.get("region", "window")), req["above"]
            return lambda s: difference(base, s, region) > above
        if screen == "menu-step":
            base = self.shot(req["from"])
            return lambda s: menu_shown(s) and entry_change(base, s) > 4.0
        return SCREENS[screen]

    # Requests, by "op".
    def op_game(self, req):
        """Starts the game (`executable`, `home`, `log`, `env`): a home of its
        own, no sound server, not the demo."""
        if self.game and self.game.running():
            raise RuntimeError("the game runs already")
        self.game = harness.Game(req["executable"], self.x, req["home"], req.get("env"), demo=False,
                                 log=req.get("log") or None)
        self.player.game = None  # the test itself watches the game's end
        self.player.started = harness.now()
        return {"pid": self.game.pid}

    def op_xtest(self, req):
        return {"yes": self.x.has_xtest()}

    def op_window(self, req):
        window = self.x.wait_window(req.get("title", WINDOW_TITLE), req.get("limit", 60))
        if not window:
            return {"found": False}
        self.player.window = window
        self.player.origin = self.x.origin(window)
        attrs = self.x.attributes(window)
        least, most = self.x.size_hints(window)
        return {"found": True, "window": window, "x": self.player.origin[0], "y": self.player.origin[1],
                "width": attrs.width if attrs else 0, "height": attrs.height if attrs else 0,
                "min": list(least) if least else None, "max": list(most) if most else None}

    def op_close(self, req):
        return {"at": self.x.close(self.player.window)}

    def op_wait_end(self, req):
        status = self.game.wait_end(req.get("limit", 30)) if self.game else None
        if status is None:
            return {"ended": False}
        return {"ended": True, "at": harness.now(), "exited": status >= 0,
                "status": status if status >= 0 else 0, "signal": -status if status < 0 else 0}

    def op_kill(self, req):
        self.game.proc.kill()
        return {"at": harness.now()}

    def op_capture(self, req):
        return self._store(req["name"], self.player.capture())

    def op_wait(self, req):
        what = req.get("what", req["name"])
        shot = (self.player.wait_for(what, self._screen(req), req["limit"]) if req.get("keep_never", True)
                else self.player.poll(self._screen(req), req["limit"]))
        return self._store(req["name"], shot)

    def op_settled(self, req):
        return self._store(req["name"], self.player.settled(place(req.get("region", "window")),
                                                            req.get("limit", 3.0)))

    def op_menu_up(self, req):
        return self._store(req["name"], self.player.menu_up(req.get("what", req["name"]), req["limit"]))

    def op_step_menu(self, req):
        return self._store(req["name"], self.player.step_menu(place(req["arrow"]), 1, req.get("what", req["name"]),
                                                              req.get("limit", 10), must=False))

    def op_shows(self, req):
        return {"yes": bool(SCREENS[req["screen"]](self.shot(req["shot"])))}

    def op_difference(self, req):
        return {"value": difference(self.shot(req["a"]), self.shot(req["b"]), place(req.get("region", "window")))}

    def op_entry_change(self, req):
        return {"value": entry_change(self.shot(req["a"]), self.shot(req["b"]))}

    def op_keep(self, req):
        return {"file": self.player.keep(self.shot(req["shot"]), req["as"])}

    def op_click(self, req):
        return {"at": self.player.click(place(req["place"]))}

    def op_chord(self, req):
        self.player.chord(req["modifier"], req["key"])
        return {}

    def op_type(self, req):
        self.player.type(req["text"])
        return {}

    def op_text(self, req):
        """Text read in `region` until it matches `expect` (MATCHES[`match`])
        or the limit; "text" is null without tesseract."""
        want, match = req.get("expect", ""), MATCHES[req.get("match", "exact")]
        read = self.player.wait_text(place(req["region"]), req["name"], req.get("limit", 5), req.get("ink", "brightest"),
                                     req.get("psm", 7), lambda t: match(t, want))
        return {"text": read}

    def op_row_numbers(self, req):
        return {"text": self.player.wait_row_numbers(req["first"], req["blank_from"], req["name"],
                                                     req.get("limit", 10)),
                "expected": row_numbers_text(req["first"])}

    def op_play(self, req):
        played = self.player.play(req["mulai"], self.shot(req["empty"]), self.shot(req["turn"]), req["turn_seen"])
        result = played.pop("result")
        self._store("result", result)
        played["found"] = result is not None
        played["log"] = "\n".join(played["log"])
        return played

    def handle(self, req):
        try:
            answer = getattr(self, "op_" + req["op"])(req)
            answer["ok"] = True
        except harness.SkipTest as e:
            answer = {"ok": False, "skip": str(e)}
        except Exception as e:  # the test reads why, and goes on or stops as it sees fit
            answer = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
        return answer


def serve_session(artefacts):
    """The session's loop: a first line saying it is ready (with the
    display), then one answer per request until standard input ends."""
    try:
        session = Session(artefacts)
    except harness.SkipTest as e:
        print(json.dumps({"ok": False, "skip": str(e)}), flush=True)
        return harness.SKIP_STATUS
    except Exception as e:
        print(json.dumps({"ok": False, "error": str(e)}), flush=True)
        return 1
    try:
        print(json.dumps({"ok": True, "display": session.x.name}), flush=True)
        for line in sys.stdin:
            if line.strip():
                print(json.dumps(session.handle(json.loads(line))), flush=True)
    finally:
        session.stop()
    return 0


# ------------------------------------------------------------------ one step from the shell

STEPS_HELP = """steps (each waits for what the screen shows; exit 1 when it never does):
  wait-menu LIMIT           the menu is up
  click PLACE               a click on a named place (right-arrow, menu-entry, ...)
  step-menu right|left [N]  N steps with an arrow, each to the next entry
"""


def drive(steps, title=None):
    """One or more of the player's steps on the game already running on
    $DISPLAY, from a shell script."""
    if not steps:
        print(STEPS_HELP, end="")
        return 2
    display = os.environ.get("DISPLAY")
    if not display:
        print("no DISPLAY", file=sys.stderr)
        return 2
    x = harness.attach_display(display)
    player = Player(x)
    window = x.wait_window(title or WINDOW_TITLE, 60)
    if not window:
        print("no window captioned %r" % (title or WINDOW_TITLE), file=sys.stderr)
        return 1
    player.window, player.origin = window, x.origin(window)
    step, args = steps[0], steps[1:]
    if step == "wait-menu":
        ok = player.poll(menu_shown, float(args[0]) if args else 40) is not None
    elif step == "click":
        player.click(place(args[0]))
        ok = True
    elif step == "step-menu":
        arrow = RIGHT_ARROW if args[0] == "right" else LEFT_ARROW
        ok = player.step_menu(arrow, int(args[1]) if len(args) > 1 else 1, must=False) is not None
    else:
        print("no step %r\n%s" % (step, STEPS_HELP), file=sys.stderr)
        return 2
    return 0 if ok else 1
