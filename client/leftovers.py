"""Workers nobody closed: collected unclosed, or still open at interpreter
exit.  Both are ended, their command's group first (SIGTERM to the worker
does that), then the worker, as subprocess.Popen ends nothing but at least
warns.

The finalizers hold only what ends the workers, never the objects that
users hold, so that a lost worker can be collected at all; threads and loop
callbacks hold the same inner parts, never their owner.
"""

from __future__ import annotations

import atexit
import os
import signal
import threading
import warnings
import weakref
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Optional, Tuple

from .worker_process import LIVE, WorkerProcess, end_all

# What an owner gives up when it is lost: each of its processes, and what
# releases its pipes once that process is reaped (None: its own thread does).
Leftover = Tuple[WorkerProcess, Optional[Callable[[], None]]]
Abandon = Callable[[], Sequence[Leftover]]
if TYPE_CHECKING:
    Finalizer = weakref.finalize[[Abandon, str], object]

_watched: list[Finalizer] = []
_watched_lock = threading.Lock()


def _forked() -> None:
    """In a forked child, what the parent owns is not the child's to end:
    its collection and exit leave the parent's workers alone."""
    global _watched_lock
    _watched_lock = threading.Lock()  # a thread of the parent may have held it
    for finalizer in _watched:
        finalizer.detach()
    _watched.clear()


os.register_at_fork(after_in_child=_forked)


def watch(owner: object, abandon: Abandon, what: str) -> Finalizer:
    """Ends what `abandon()` gives up once `owner` is collected unclosed,
    with a ResourceWarning, or at interpreter exit.  The owner detaches the
    finalizer when it closes."""
    finalizer = weakref.finalize(owner, _collected, abandon, what)
    finalizer.atexit = False  # _at_exit ends them all at once instead
    with _watched_lock:
        _watched[:] = [each for each in _watched if each.alive]
        _watched.append(finalizer)
    return finalizer


def _collected(abandon: Abandon, what: str) -> None:
    leftovers = abandon()
    if not leftovers:
        return
    for process, _ in leftovers:
        process.signal(signal.SIGTERM)
    try:
        # The collector may run anywhere, inside an event loop too: the
        # waiting is done elsewhere.
        threading.Thread(target=_finish, args=(leftovers,), daemon=True,
                         name="ending an unclosed shell worker").start()
    except RuntimeError:  # the interpreter is shutting down
        _finish(leftovers)
    warnings.warn(f"{what} was not closed; its worker has been ended", ResourceWarning)


def _finish(leftovers: Sequence[Leftover]) -> None:
    end_all(process for process, _ in leftovers)
    for _, release in leftovers:
        if release is not None:
            release()


@atexit.register
def _at_exit() -> None:
    with _watched_lock:
        pending = [each for each in _watched if each.alive]
        _watched.clear()
    for finalizer in pending:
        # Given up, with no warning: their pipes stay as they are, since
        # threads of the owners may still use them.
        detached = finalizer.detach()
        if detached is not None:
            detached[2][0]()
    end_all(process for process in list(LIVE) if process.returncode is None)
