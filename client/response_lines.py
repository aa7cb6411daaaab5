"""Reading the worker's answer to the request in hand.

Requests carry no identifier: the n-th answer belongs to the n-th request.
An answer that is not JSON, or not shaped like an answer to this request,
means the two sides are out of step, and nothing read from that worker
afterwards can be trusted; it is reported as a ProtocolFault, never paired
with a request.
"""

from __future__ import annotations

import json
import reprlib
from collections.abc import Callable
from typing import Any

from . import large_lines
from .errors import RequestError
from .results import CommandResult, made


# The decoder's scanner itself, as JSONDecoder.raw_decode calls it, less
# that method's frame: one value from an index, StopIteration where none.
# (An attribute that JSONDecoder's __init__ sets, which the stubs leave out.)
_scan: Callable[[str, int], tuple[Any, int]]
_scan = json.JSONDecoder().scan_once  # type: ignore[attr-defined]
_BLANKS = " \t\n\r"  # JSON's whitespace


class ProtocolFault(Exception):
    """A line from the worker that cannot be the answer to the request sent."""


def read_exec_answer(command: str, timed_out: str | None, check: bool,
                     line: bytes | bytearray) -> CommandResult:
    """`timed_out` is the worker's stderr for this request's time-out; the
    line comes last, after what a request binds (functools.partial)."""
    result = _command_result(_result_of(line), command, timed_out)
    if check:
        result.check_returncode()
    return result


def read_batch_answer(line: bytes | bytearray, commands: list[str], timed_out: str | None,
                      check: bool) -> list[CommandResult]:
    result = _result_of(line)
    if not isinstance(result, list) or len(result) != len(commands):
        raise ProtocolFault(f"expected a list of {len(commands)} results, "
                            f"got {reprlib.repr(result)}")
    results = [_command_result(item, command, timed_out)
               for item, command in zip(result, commands)]
    if check:
        # The whole batch has run by now: the first failure speaks for it.
        for each in results:
            each.check_returncode()
    return results


def _result_of(line: bytes | bytearray) -> object:
    """The answer's "result", or the RequestError for a refused request.
    A bytearray is emptied as it is decoded: the text is all that is needed
    from then on, and a large answer's bytes go as it is made
    (large_lines)."""
    if isinstance(line, bytearray) and len(line) > large_lines.LARGE:
        shown = excerpt(line)  # the line is gone by the time a fault is found
        try:
            answer = large_lines.loads(line)
        except (ValueError, RecursionError):
            raise ProtocolFault(f"a line that is not JSON: {shown}") from None
    else:
        text = None
        try:
            text = line.decode()
            if isinstance(line, bytearray):
                line.clear()
            # As json.loads, less its wrappers: one value, then only blanks.
            answer, end = _scan(text, len(text) - len(text.lstrip(_BLANKS)))
            if text[end:].strip(_BLANKS):
                raise ValueError("extra data")
        except (ValueError, RecursionError, StopIteration):  # UnicodeDecodeError included
            # Made only for a fault: it costs as much as the decoding of an answer.
            shown = excerpt(line if text is None else text.encode())
            raise ProtocolFault(f"a line that is not JSON: {shown}") from None
    if not isinstance(answer, dict) or not isinstance(answer.get("success"), bool):
        raise ProtocolFault(f"a line that is not an answer: {reprlib.repr(answer)}")
    if "result" in answer:
        return answer["result"]
    error = answer.get("error")
    if answer["success"] is False and isinstance(error, str):
        raise RequestError(error)
    raise ProtocolFault(f"an answer with neither a result nor an error: "
                        f"{reprlib.repr(answer)}")


def _command_result(item: object, command: str, timed_out: str | None) -> CommandResult:
    if isinstance(item, dict):
        stdout, stderr, returncode = item.get("stdout"), item.get("stderr"), item.get("returncode")
        # Exact types: the JSON decoder makes no subclasses, and bool is no status.
        if type(stdout) is str and type(stderr) is str and type(returncode) is int:
            return made(stdout, stderr, returncode, command,
                        returncode == -1 and stderr == timed_out and not stdout)
    raise ProtocolFault(f"expected one command's result, got {str(item)[:200]}")


def excerpt(data: bytes | bytearray) -> str:
    return repr(bytes(data[:200])) + (" ..." if len(data) > 200 else "")
