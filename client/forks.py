"""Which process owns what: after a fork, the child owns none of the
parent's workers.

The child inherits every object, descriptor and lock of the parent, but
the workers are still the parent's: a signal, a "quit" or a request from
the child would end them or steal their answers.  Each owner records the
generation it was made in; a fork moves the child to a new one, so that
everything made before it is foreign there (as asyncio compares the pid
that its running loop recorded).
"""

from __future__ import annotations

import os

# The current generation, read as forks.generation (a module attribute, so
# that every read sees a fork's change; no call on the request's path).
generation = 0


def _forked() -> None:
    global generation
    generation += 1


os.register_at_fork(after_in_child=_forked)


def foreign_text(what: str, pid: int | None) -> str:
    """The text for a use, in a forked child, of what its parent owns."""
    held = "" if pid is None else f" (pid {pid})"
    return (f"the {what}{held} belongs to another process: it was inherited through fork(), "
            "and only the process that started it may use, close or kill it; the request "
            "was not sent")
