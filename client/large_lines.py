"""Decoding a large answer line without holding two whole copies of it.

json.loads wants the line as text, and text made from the bytes is a second
copy of the line: for output that escapes heavily (control bytes become six
bytes each) that copy is many times the result.  Here each long string
literal is decoded on its own, a piece at a time from its end, and each
piece's bytes are dropped from the line as soon as it is text, so that the
bytes still to decode and the text decoded so far together stay within the
line and the result.  What is left is a small skeleton, with a marker in place
of each long literal, which json.loads reads as usual.
"""

from __future__ import annotations

import json
import os
import re

# Lines shorter than this take the plain way: their two copies are small.
LARGE = 32 << 20
# Literals longer than this are decoded piece by piece, about this much at a time.
PIECE = 1 << 20
BACKSLASH = 0x5C
# A string literal, and how many escaped quotes are looked at one by one
# before it takes over (it is slower than a plain search where there are few).
LITERAL = re.compile(rb'"[^"\\]*+(?:\\.[^"\\]*+)*+"')
ESCAPED_QUOTES = 64
# How the second half of a surrogate pair begins, after its backslash.
LOW_SURROGATES = (b"udc", b"udd", b"ude", b"udf")


def loads(line: bytearray) -> object:
    """json.loads(line), emptying `line` as it goes; ValueError for a line
    that is not JSON."""
    markers: dict[str, str] = {}
    nonce = os.urandom(8).hex()
    for number, (start, end) in enumerate(reversed(_long_literals(line))):
        pieces = []
        while end > start:
            cut = _cut(line, start, max(start, end - PIECE))
            pieces.append(json.loads(b'"' + line[cut:end] + b'"'))
            del line[cut:end]
            end = cut
        marker = f"{nonce}-{number}"
        line[start:start] = marker.encode()
        pieces.reverse()
        markers[marker] = "".join(pieces)
        del pieces
    text = line.decode()
    line.clear()
    return _put_back(json.loads(text), markers)


def _long_literals(line: bytearray) -> list[tuple[int, int]]:
    """The bodies (quotes left out) of the string literals longer than PIECE."""
    spans = []
    position = 0
    while (start := line.find(b'"', position)) >= 0:
        end, escaped = start, 0
        while True:
            end = line.find(b'"', end + 1)
            if end < 0:
                raise ValueError("a string that does not end")
            run = end
            while line[run - 1] == BACKSLASH:
                run -= 1
            if (end - run) % 2 == 0:  # not itself escaped
                break
            escaped += 1
            if escaped > ESCAPED_QUOTES:
                # Text full of quotes: the regular expression engine finds
                # the end without a step here for each of them.
                literal = LITERAL.match(line, start)
                if literal is None:
                    raise ValueError("a string that does not end")
                end = literal.end() - 1
                break
        if end - start > PIECE:
            spans.append((start + 1, end))
        position = end + 1
    return spans


def _cut(line: bytearray, low: int, at: int) -> int:
    """A place at or before `at`, and after `low`, where a literal's body may
    be split: not inside an escape, between the two escapes of a surrogate
    pair, or inside a character's UTF-8 bytes; `low` when there is none."""
    while at > low:
        while at > low and 0x80 <= line[at] < 0xC0:
            at -= 1
        # An escape is at most six bytes: with no backslash in the twelve
        # before, `at` is in no escape and no pair.
        backslash = line.rfind(b"\\", max(low, at - 12), at)
        if backslash < 0:
            return at
        run = backslash
        while run > low and line[run - 1] == BACKSLASH:
            run -= 1
        if (backslash - run) % 2:
            return backslash - 1  # the start of an escaped backslash
        if bytes(line[backslash + 1:backslash + 4]) not in LOW_SURROGATES:
            return backslash  # an escape starts here, and no pair's second half
        at = backslash
    return low


def _put_back(value: object, markers: dict[str, str]) -> object:
    if isinstance(value, str):
        return markers.get(value, value)
    if isinstance(value, list):
        return [_put_back(each, markers) for each in value]
    if isinstance(value, dict):
        return {markers.get(key, key): _put_back(each, markers) for key, each in value.items()}
    return value
