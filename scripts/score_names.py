"""How a score's name reads: the score server's folder store, its database
store and its page all take a name apart the same way."""

import re

_LEADING_NUMBER = re.compile(r"[0-9]+")


def split_score(name):
    """(score digits or None, the rest of the name)."""
    m = _LEADING_NUMBER.match(name)
    if not m:
        return None, name
    return m.group(0), name[m.end():]


def score_fields(name):
    """(score digits or None, player name, country) of a score file's name.

    The game names a score "<score>(<name>)(<e-mail>)(<country>)", and the
    player's fields may hold parentheses themselves, so the part after the
    score is split on ")(" and read from the end: the last field is the
    country, the one before it the e-mail address, which is dropped, and the
    rest is the name. A name with two fields keeps only the first (the
    second stands where the e-mail address goes); any other name (no
    parentheses, one field, a hand-edited string) is shown as it is, with no
    country."""
    digits, rest = split_score(name)
    if len(rest) >= 2 and rest.startswith("(") and rest.endswith(")"):
        fields = rest[1:-1].split(")(")
        if len(fields) >= 3:
            return digits, ")(".join(fields[:-2]), fields[-1]
        if len(fields) == 2:
            return digits, "(%s)" % fields[0], ""
    return digits, rest, ""
