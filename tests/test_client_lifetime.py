"""How long workers live: bound to their event loop, ended when lost or at
interpreter exit, ended whole (wrappers included) when cancelled, killed or
closed, and never waited for beyond what was asked."""
import asyncio
import gc
import os
import sys
import threading

import pytest

from conftest import (POOLS, Driven, parent_of, processes_with, run_python, running, stand_in,
                      tagged_worker_argv, wait_for)
from varnok.workers.shell_worker_client import (AsyncShellWorker, AsyncShellWorkerPool,
                                                ShellWorker, ShellWorkerPool, WorkerError,
                                                grace_periods)

ASYNC_KINDS = {"async": AsyncShellWorker, "async pool": lambda argv: AsyncShellWorkerPool(1, argv=argv)}


@pytest.mark.timeout(60)  # a loop that waits on another loop's futures waits forever
@pytest.mark.parametrize("first_loop", ["closed", "still open"])
@pytest.mark.parametrize("make", ASYNC_KINDS.values(), ids=ASYNC_KINDS)
def test_an_asyncio_object_belongs_to_the_loop_it_started_in(tag, make, first_loop):
    target = make(tagged_worker_argv(tag))
    first = asyncio.Runner()
    first.run(target.start())
    assert first.run(target.exec("echo 1")).stdout == "1\n"
    if first_loop == "closed":
        first.close()
    with asyncio.Runner() as second:
        for call in (lambda: target.exec("true"), lambda: target.exec_many([]),
                     lambda: target.close()):
            with pytest.raises(RuntimeError, match="belongs to the event loop it started in"):
                second.run(call())
    target.kill()  # from outside any loop
    assert processes_with(tag) == []
    first.close()


def lost(kind, tag):
    """Starts a worker of `kind`, uses it, and drops it unclosed inside the
    loop (for asyncio) that then runs until the worker has gone."""
    argv = tagged_worker_argv(tag)
    if kind in ("sync", "pool"):
        target = ShellWorker(argv) if kind == "sync" else ShellWorkerPool(1, argv=argv)
        target.exec("true")
        del target
        gc.collect()
        return

    async def main():
        target = ASYNC_KINDS[kind](argv)
        await target.start()
        await target.exec("true")
        del target
        gc.collect()
        for _ in range(500):
            if not processes_with(tag):
                break
            await asyncio.sleep(0.01)
    asyncio.run(main())


def test_a_worker_collected_unclosed_is_ended_with_a_resource_warning(kind, tag):
    with pytest.warns(ResourceWarning, match="was not closed; its worker has been ended"):
        lost(kind, tag)
    assert wait_for(lambda: processes_with(tag) == [])


# Each leaves a request running when the interpreter exits.
AT_EXIT = {
    "sync, daemon thread": """
        w = ShellWorker(ARGV)
        threading.Thread(target=w.exec, args=(COMMAND,), daemon=True).start()""",
    "sync pool, submitted": """
        pool = ShellWorkerPool(1, argv=ARGV)
        pool.submit(COMMAND)""",
    "asyncio, loop in a daemon thread": """
        async def main():
            w = AsyncShellWorker(ARGV)
            await w.start()
            await w.exec(COMMAND)
        threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()""",
}


@pytest.mark.parametrize("how", AT_EXIT)
def test_workers_left_running_at_exit_are_ended_command_first(tag, unique_argument, how):
    marker = unique_argument()
    done = run_python(f"""
        import asyncio, os, sys, threading, time
        from varnok.workers.shell_worker_client import *
        ARGV, COMMAND = {tagged_worker_argv(tag)!r}, "sleep {marker}"
        {AT_EXIT[how].strip()}
        def running():  # the command itself: this process's argv (and that of a
            # child forked from it, until it execs) holds the marker too
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{{pid}}/cmdline", "rb") as cmdline:
                        if cmdline.read() == b"sleep\\x00{marker}\\x00":
                            return True
                except OSError:  # ended meanwhile
                    pass
        while not running():
            time.sleep(0.02)
        """.replace("\n        ", "\n"))
    assert done.returncode == 0, done.stderr
    assert processes_with(tag) == [] and processes_with(marker) == []


WRAPPED = ["sh", "-c", '"$0" -m varnok.workers.shell_worker_cli; echo done >&2', sys.executable]


def end_in_flight(worker, command, marker, how):
    """Runs `command` on `worker` and ends it `how` once `marker` runs; what
    the request raised."""
    if worker.runner is None:
        raised = []
        caller = threading.Thread(target=lambda: raised.append(
            pytest.raises(BaseException, worker.exec, command).value))
        caller.start()
        assert wait_for(lambda: processes_with(marker), 10)
        worker.kill() if how == "killed from another thread" else worker.close(timeout=0.5)
        caller.join(30)
        return raised[0]

    async def main():
        request = asyncio.create_task(worker.target.exec(command))
        await running(marker)
        if how == "cancelled":
            request.cancel()
        elif how == "killed from a task":
            worker.target.kill()
        elif how == "killed from another thread":
            await asyncio.to_thread(worker.target.kill)
        else:
            await worker.target.close(timeout=0.5)
        try:
            await request
        except BaseException as error:  # noqa: BLE001 - returned
            return error
    return worker.run(main())


ENDINGS = [(kind, how) for kind in ("sync", "async", "pool", "async pool")
           for how in ("cancelled", "killed from a task", "killed from another thread",
                       "closed after 0.5 s")
           # KeyboardInterrupt is the synchronous cancellation, tested elsewhere.
           if kind in ASYNC_KINDS or how in ("killed from another thread", "closed after 0.5 s")]


@pytest.mark.parametrize("kind, how", ENDINGS)
def test_a_request_in_flight_is_ended_with_its_worker_and_any_wrapper(kind, tag,
                                                                     unique_argument, how):
    marker = unique_argument()
    worker = Driven(kind, [*WRAPPED, tag])
    [wrapper] = processes_with(tag)
    [wrapped] = [pid for pid in processes_with("shell_worker_cli") if parent_of(pid) == wrapper]
    try:
        raised = end_in_flight(worker, f"sleep {marker} | cat", marker, how)
        assert isinstance(raised, asyncio.CancelledError if how == "cancelled" else WorkerError)
        assert not os.path.exists(f"/proc/{wrapper}")  # reaped before the error passed on
        # Signalled with it, they end within moments (a zombie has no cmdline).
        assert wait_for(lambda: wrapped not in processes_with("shell_worker_cli"), 2)
        assert wait_for(lambda: processes_with(marker) == [], 2)
    finally:
        worker.close()


def test_kill_ends_a_stalled_transport(kind, tag, monkeypatch):
    # Reads the request, never answers, and ignores SIGTERM: as ssh behind a
    # network partition looks from here.
    monkeypatch.setattr(grace_periods, "AFTER_TERM", 0.5)
    worker = Driven(kind, stand_in(tag, "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                                        "line(); time.sleep(600)"))
    caller = threading.Thread(target=lambda: pytest.raises(WorkerError, worker.exec, "true"))
    caller.start()
    assert wait_for(lambda: processes_with(tag))
    worker.kill()
    caller.join(30)
    assert not caller.is_alive() and processes_with(tag) == []
    worker.close()


@pytest.mark.parametrize("make", ASYNC_KINDS.values(), ids=ASYNC_KINDS)
def test_a_cancelled_close_still_ends_every_worker_first(make, tag, unique_argument):
    marker = unique_argument()

    async def main():
        target = make(tagged_worker_argv(tag))
        await target.start()
        request = asyncio.create_task(target.exec(f"sleep {marker}"))
        await running(marker)
        closing = asyncio.create_task(target.close())
        await asyncio.sleep(0.05)
        closing.cancel()
        with pytest.raises(asyncio.CancelledError):
            await closing
        # Ended before the cancellation passed on.
        assert processes_with(tag) == []
        with pytest.raises(WorkerError):
            await request

    asyncio.run(main())
    assert wait_for(lambda: processes_with(marker) == [], 2)
