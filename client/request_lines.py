"""Requests as the worker reads them, each checked here first.

A member of the wrong type ends the worker without an answer, so every
argument is checked before anything is sent: such a mistake is the caller's
TypeError, and the worker goes on serving.
"""

from __future__ import annotations

import json
import numbers
import os
import shlex
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Callable, Generic, TypeVar, Union

from .response_lines import read_batch_answer, read_exec_answer
from .results import CommandResult

T = TypeVar("T")

# A command: one shell line, or a list of arguments that is quoted into one.
Command = Union[str, Sequence[str]]
PathName = Union[str, "os.PathLike[str]"]

# What timeout=None sends.  The worker waits for a command with poll(),
# whose longest wait is 2**31 - 1 ms (about 24.8 days); a longer limit, an
# infinite one included, comes back at once as a failed command.  This is the
# longest round number of seconds below it: about 23 days.
NO_LIMIT = 2_000_000


@dataclass(frozen=True, slots=True)
class Request(Generic[T]):
    """One request line and how to read the only answer that fits it."""

    line: bytes
    read_answer: Callable[[bytes | bytearray], T]


def exec_request(command: object, timeout: object, cwd: object,
                 check: bool = False) -> Request[CommandResult]:
    text = command_text(command, "command")
    line = _line({"action": "exec", "command": text, "timeout": time_limit(timeout),
                  "cwd": working_directory(cwd)})
    return Request(line, lambda answer: read_exec_answer(answer, text, check))


def exec_many_request(commands: object, timeout: object, cwd: object,
                      check: bool = False) -> Request[list[CommandResult]]:
    if not isinstance(commands, (list, tuple)):
        raise TypeError("commands must be a list or tuple of commands, "
                        f"not {type(commands).__name__}")
    texts = [command_text(command, f"commands[{position}]")
             for position, command in enumerate(commands)]
    line = _line({"action": "exec_many", "commands": texts, "timeout": time_limit(timeout),
                  "cwd": working_directory(cwd)})
    return Request(line, lambda answer: read_batch_answer(answer, texts, check))


def command_text(command: object, name: str) -> str:
    """The command line: a str as it is, a list or tuple of arguments quoted
    for the shell (shlex.join), so that no argument is read as shell syntax."""
    if isinstance(command, str):
        return command
    if isinstance(command, (list, tuple)):
        for position, argument in enumerate(command):
            if not isinstance(argument, str):
                raise TypeError(f"{name}[{position}] must be str, "
                                f"not {type(argument).__name__}")
        return shlex.join(command)
    raise TypeError(f"{name} must be str or a list of str arguments, "
                    f"not {type(command).__name__}")


def time_limit(timeout: object) -> int | float:
    """The time limit as JSON can carry it: an int or a float goes as it is,
    another real number (a Fraction, say) as its value, None as NO_LIMIT."""
    if timeout is None:
        return NO_LIMIT
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a real number or None, not {type(timeout).__name__}")
    if isinstance(timeout, numbers.Integral):
        return int(timeout)
    return float(timeout)


def working_directory(cwd: object) -> str | None:
    if cwd is None:
        return None
    if isinstance(cwd, os.PathLike):
        cwd = os.fspath(cwd)
    if not isinstance(cwd, str):
        raise TypeError(f"cwd must be str, a str path or None, not {type(cwd).__name__}")
    return cwd


def _line(request: dict[str, object]) -> bytes:
    # json.dumps escapes everything outside ASCII, lone surrogates included,
    # so the line always encodes and never holds a raw line feed.
    return json.dumps(request).encode("ascii") + b"\n"


# Answered without starting a child: `{"success": true, "result": []}`.
# A worker that answers it is up and speaks the protocol.
PROBE = Request(_line({"action": "exec_many", "commands": []}),
                lambda line: read_batch_answer(line, [], False))
QUIT_LINE = _line({"action": "quit"})
