"""Requests as the worker reads them, each checked here first.

A member of the wrong type ends the worker without an answer, so every
argument is checked before anything is sent: such a mistake is the caller's
TypeError, and the worker goes on serving.
"""

from __future__ import annotations

import json
import math
import numbers
import os
import re
import shlex
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from functools import partial
from typing import Callable, Generic, TypeVar, Union

from .response_lines import read_batch_answer, read_exec_answer
from .results import TIMED_OUT, CommandResult, timeout_text

T = TypeVar("T")

# A command: one shell line, or a list of arguments that is quoted into one.
PathName = Union[str, "os.PathLike[str]"]
Command = Union[str, Sequence[PathName]]
Environment = Mapping[str, str]

# What timeout=None sends.  The worker waits for a command with poll(),
# whose longest wait is 2**31 - 1 ms (about 24.8 days); a longer limit, an
# infinite one included, comes back at once as a failed command.  This is the
# longest round number of seconds below it: about 23 days.
NO_LIMIT = 2_000_000

# A name the shell takes for a variable's.
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


@dataclass(slots=True)  # not frozen: made for every request, and frozen costs
class Request(Generic[T]):
    """One request line and how to read the only answer that fits it."""

    line: bytes
    read_answer: Callable[[bytes | bytearray], T]


def exec_request(command: object, timeout: object, cwd: object, check: bool = False,
                 env: object = None) -> Request[CommandResult]:
    # Every request passes here: a str command, no env and no cwd are
    # taken as they are, without a call each.
    text = command if type(command) is str else command_text(command, "command")
    limit = timeout if type(timeout) is float or type(timeout) is int else time_limit(timeout)
    sent = text if env is None else environment_prefix(env) + text
    directory = "null" if cwd is None else _optional(working_directory(cwd))
    number, timed_out = _limit_texts(limit)
    line = (f'{{"action": "exec", "command": {_string(sent)}, "timeout": {number}, '
            f'"cwd": {directory}}}\n').encode("ascii")
    return Request(line, partial(read_exec_answer, text, timed_out, check))


def exec_many_request(commands: object, timeout: object, cwd: object, check: bool = False,
                      env: object = None) -> Request[list[CommandResult]]:
    if isinstance(commands, (str, bytes)) or not isinstance(commands, Iterable):
        raise TypeError("commands must be an iterable of commands, "
                        f"not {type(commands).__name__}")
    texts = [command_text(command, f"commands[{position}]")
             for position, command in enumerate(commands)]
    prefix = environment_prefix(env)
    limit = time_limit(timeout)
    line = _line({"action": "exec_many", "commands": [prefix + text for text in texts],
                  "timeout": limit, "cwd": working_directory(cwd)})
    timed_out = timeout_text(limit)
    return Request(line, lambda answer: read_batch_answer(answer, texts, timed_out, check))


def command_text(command: object, name: str) -> str:
    """The command line: a str as it is, a list or tuple of arguments (str
    or str paths) quoted for the shell (shlex.join), so that no argument is
    read as shell syntax."""
    if isinstance(command, str):
        return command
    if isinstance(command, (list, tuple)):
        arguments = []
        for position, argument in enumerate(command):
            if isinstance(argument, os.PathLike):
                argument = os.fspath(argument)
            if not isinstance(argument, str):
                raise TypeError(f"{name}[{position}] must be str or a str path, "
                                f"not {type(argument).__name__}")
            arguments.append(argument)
        return shlex.join(arguments)
    raise TypeError(f"{name} must be str or a list of str arguments, "
                    f"not {type(command).__name__}")


def environment_prefix(env: object) -> str:
    """What sets `env` for the command alone.  The worker hands every child
    a copy of its own environment, so the variables are exported by the
    command's own shell, ahead of the command, each value quoted so that
    none is read as shell syntax.  The command follows on a line of its
    own, so that a comment or an unfinished line of the prefix cannot
    swallow it."""
    if env is None:
        return ""
    if not isinstance(env, Mapping):
        raise TypeError(f"env must be a mapping of names to values, not {type(env).__name__}")
    assignments = []
    for name, value in env.items():
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError(f"env must map str to str, not {type(name).__name__} "
                            f"to {type(value).__name__}")
        if not _NAME.fullmatch(name):
            raise ValueError(f"env: {name!r} is not a valid variable name")
        if "\0" in value:
            raise ValueError(f"env: the value of {name} holds a NUL character")
        assignments.append(f"{name}={shlex.quote(value)}")
    return f"export {' '.join(assignments)}\n" if assignments else ""


def time_limit(timeout: object) -> int | float:
    """The time limit as JSON can carry it: an int or a float goes as it is,
    another real number (a Fraction, say) as its value, None as NO_LIMIT."""
    if type(timeout) is float or type(timeout) is int:  # most of them, without the ABCs
        return timeout
    if timeout is None:
        return NO_LIMIT
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a real number or None, not {type(timeout).__name__}")
    if isinstance(timeout, numbers.Integral):
        return int(timeout)
    return float(timeout)


def working_directory(cwd: object) -> str | None:
    if cwd is None or type(cwd) is str:
        return cwd
    if isinstance(cwd, os.PathLike):
        cwd = os.fspath(cwd)
    if not isinstance(cwd, str):
        raise TypeError(f"cwd must be str, a str path or None, not {type(cwd).__name__}")
    return cwd


def _line(request: dict[str, object]) -> bytes:
    # json.dumps escapes everything outside ASCII, lone surrogates included,
    # so the line always encodes and never holds a raw line feed.
    return json.dumps(request).encode("ascii") + b"\n"


# The exec line, the one sent most, is put together from the encoder's own
# pieces, as json.dumps would write it, at a third of the cost of its
# general walk through a dict.
_string = json.encoder.encode_basestring_ascii


def _number(value: int | float) -> str:
    if type(value) is int or math.isfinite(value):
        return repr(value)
    return json.dumps(value)  # NaN, Infinity: what the worker reads them as


def _limit_texts(limit: int | float) -> tuple[str, str | None]:
    """The limit as the request line writes it, and the worker's stderr for
    a command that outlives it (one repr for both, in the usual case)."""
    if type(limit) is float and math.isfinite(limit):
        number = repr(limit)
        return number, f"{TIMED_OUT}{number}s"
    return _number(limit), timeout_text(limit)


def _optional(text: str | None) -> str:
    return "null" if text is None else _string(text)


# Answered without starting a child: `{"success": true, "result": []}`.
# A worker that answers it is up and speaks the protocol.
PROBE = Request(_line({"action": "exec_many", "commands": []}),
                lambda line: read_batch_answer(line, [], timeout_text(30.0), False))
QUIT_LINE = _line({"action": "quit"})
