"""Requests as the worker reads them, each checked here first.

A member of the wrong type ends the worker without an answer, so every
argument is checked before anything is sent: such a mistake is the caller's
TypeError, and the worker goes on serving.
"""

from __future__ import annotations

import json
import numbers
from dataclasses import dataclass
from typing import Callable, Generic, TypeVar

from .response_lines import read_batch_answer, read_exec_answer
from .results import CommandResult

T = TypeVar("T")


@dataclass(frozen=True, slots=True)
class Request(Generic[T]):
    """One request line and how to read the only answer that fits it."""

    line: bytes
    read_answer: Callable[[bytes], T]


def exec_request(command: object, timeout: object, cwd: object) -> Request[CommandResult]:
    if not isinstance(command, str):
        raise TypeError(f"command must be str, not {type(command).__name__}")
    return Request(_line({"action": "exec", "command": command, "timeout": time_limit(timeout),
                          "cwd": working_directory(cwd)}),
                   read_exec_answer)


def exec_many_request(commands: object, timeout: object,
                      cwd: object) -> Request[list[CommandResult]]:
    if not isinstance(commands, (list, tuple)):
        raise TypeError(f"commands must be a list or tuple of str, not {type(commands).__name__}")
    for position, command in enumerate(commands):
        if not isinstance(command, str):
            raise TypeError(f"commands[{position}] must be str, not {type(command).__name__}")
    count = len(commands)
    return Request(_line({"action": "exec_many", "commands": list(commands),
                          "timeout": time_limit(timeout), "cwd": working_directory(cwd)}),
                   lambda line: read_batch_answer(line, count))


def time_limit(timeout: object) -> int | float:
    """The time limit as JSON can carry it: an int or a float goes as it is,
    another real number (a Fraction, say) as its value."""
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a real number, not {type(timeout).__name__}")
    if isinstance(timeout, numbers.Integral):
        return int(timeout)
    return float(timeout)


def working_directory(cwd: object) -> str | None:
    if cwd is not None and not isinstance(cwd, str):
        raise TypeError(f"cwd must be str or None, not {type(cwd).__name__}")
    return cwd


def _line(request: dict[str, object]) -> bytes:
    # json.dumps escapes everything outside ASCII, lone surrogates included,
    # so the line always encodes and never holds a raw line feed.
    return json.dumps(request).encode("ascii") + b"\n"


# Answered without starting a child: `{"success": true, "result": []}`.
# A worker that answers it is up and speaks the protocol.
PROBE = Request(_line({"action": "exec_many", "commands": []}),
                lambda line: read_batch_answer(line, 0))
QUIT_LINE = _line({"action": "quit"})
