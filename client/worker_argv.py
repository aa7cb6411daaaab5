"""The command that starts one worker."""

from __future__ import annotations

import sys
from collections.abc import Sequence


def default_argv() -> list[str]:
    """The worker installed with this interpreter."""
    return [sys.executable, "-m", "varnok.workers.shell_worker_cli"]


def checked_argv(argv: Sequence[str] | None) -> list[str]:
    if argv is None:
        return default_argv()
    if isinstance(argv, (str, bytes)):
        # A string would be split into one argument per character.
        raise TypeError("argv must be a list of arguments, such as ['ssh', 'host', "
                        "'varnok-shell-worker'], not a single string")
    arguments = list(argv)
    if not arguments:
        raise ValueError("argv is empty")
    return arguments


def checked_start_timeout(seconds: float | None) -> float | None:
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"start_timeout must be a number of seconds or None, "
                        f"not {type(seconds).__name__}")
    if not seconds > 0:
        raise ValueError(f"start_timeout must be positive, not {seconds}")
    return float(seconds)
