"""Text for messages: what a file holds or is named is shown safely.

Names and contents come from files from anywhere. A message shows control
characters as `\\xNN` (the way Python's `backslashreplace` writes them), so
that a name with a newline cannot forge a second line nor an escape sequence
drive the terminal, and quotes at most a short excerpt of a file's content.
"""

from __future__ import annotations

import re

# C0 controls, DEL and the C1 controls, which terminals also act on; and
# the lone surrogates that stand for the bytes of a file name that are not
# UTF-8 (Python's surrogateescape), which no text can hold.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\udc80-\udcff]")
EXCERPT_CHARACTERS = 60


def printable(text: str) -> str:
    """`text` with every control character, and every byte of a name that
    is not UTF-8, written as \\xNN."""
    return _CONTROL.sub(lambda found: f"\\x{ord(found.group()) & 0xFF:02x}", text)


def excerpt(text: str, limit: int = EXCERPT_CHARACTERS) -> str:
    """The start of `text`, with how long it is when it is cut."""
    if len(text) <= limit:
        return text
    return f"{text[:limit]}... ({len(text)} characters)"


def quoted(text: str) -> str:
    """A short excerpt of `text`, quoted as Python writes strings."""
    if len(text) <= EXCERPT_CHARACTERS:
        return repr(text)
    return f"{text[:EXCERPT_CHARACTERS]!r}... ({len(text)} characters)"


def number(value: object) -> str:
    """A number from a file as text of bounded length (an integer read from
    JSON can have thousands of digits)."""
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 200:
        sign = "-" if value < 0 else ""
        return f"{sign}a number of about {int(value.bit_length() * 0.30103) + 1} digits"
    return excerpt(str(value))
