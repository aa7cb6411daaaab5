"""The controller as a guest in an application's process: thousands of open
descriptors, fork, transports that ignore SIGTERM, interrupts in the middle of
a close or of the library's own steps change nothing for the application."""
import asyncio
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import pytest

from conftest import processes_with, stand_in, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import (AsyncShellWorker, AsyncShellWorkerPool,
                                                ShellWorker, ShellWorkerPool, WorkerError,
                                                grace_periods)


def run_script(code, *arguments, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *arguments],
                          capture_output=True, text=True, timeout=timeout)


# Every kind, with its descriptors numbered above 1024: a request longer than
# a pipe holds (the controller waits to write it), a close, a kill, and a
# worker left for the exit to end.
MANY_DESCRIPTORS = """
    import asyncio, os, resource, sys
    from varnok.workers.shell_worker_client import *
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    held = [os.open("/dev/null", os.O_RDONLY) for _ in range(1100)]
    ARGV = sys.argv[1:]
    BIG = ["echo " + "x" * 100_000 + " | wc -c"] * 3
    COUNTS = ["100001\\n"] * 3

    def sync(target):
        with target:
            assert [each.stdout for each in target.exec_many(BIG)] == COUNTS
        target.kill()

    async def asynchronous(target):
        async with target:
            assert [each.stdout for each in await target.exec_many(BIG)] == COUNTS
        target.kill()

    sync(ShellWorker(ARGV))
    sync(ShellWorkerPool(2, argv=ARGV))
    asyncio.run(asynchronous(AsyncShellWorker(ARGV)))
    asyncio.run(asynchronous(AsyncShellWorkerPool(2, argv=ARGV)))
    ShellWorker(ARGV).kill()
    left = ShellWorker(ARGV)
    assert left._connection.process.stdout > 1024
    print("ok")
"""


def test_every_kind_works_with_descriptors_numbered_above_1024(tag):
    done = run_script(MANY_DESCRIPTORS, *tagged_worker_argv(tag))
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")
    assert processes_with(tag) == []


# The parent's workers of each kind, and what a forked child does with its
# copies of them; the parent then uses each and must get its own answers.
FORKED = """
    import asyncio, gc, os, sys, warnings
    from varnok.workers.shell_worker_client import *
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
    how, ARGV = sys.argv[1], sys.argv[2:]
    worker, pool = ShellWorker(ARGV), ShellWorkerPool(1, argv=ARGV)
    runner = asyncio.Runner()
    aworker, apool = AsyncShellWorker(ARGV), AsyncShellWorkerPool(1, argv=ARGV)
    runner.run(aworker.start())
    runner.run(apool.start())
    if os.fork() == 0:
        if how == "collected":
            del worker, pool, aworker, apool
            gc.collect()
        elif how == "closed":
            with worker, pool:
                pass
            asyncio.run(aworker.close())
            asyncio.run(apool.close())
        elif how == "killed":
            for each in (worker, pool, aworker, apool):
                each.kill()
        elif how == "used":
            refused = []
            for call in (lambda: worker.exec("echo child"), lambda: pool.exec("echo child"),
                         lambda: asyncio.run(aworker.exec("echo child")),
                         lambda: asyncio.run(apool.exec("echo child"))):
                try:
                    call()
                except WorkerError as error:
                    refused.append("belongs to another process" in str(error) and not error.sent)
            sys.exit(0 if refused == [True] * 4 else f"refused: {refused}")
        sys.exit(0)
    assert os.waitstatus_to_exitcode(os.wait()[1]) == 0, "the child failed"
    assert worker.exec("echo 1").stdout == "1\\n"
    assert pool.exec("echo 2").stdout == "2\\n"
    assert runner.run(aworker.exec("echo 3")).stdout == "3\\n"
    assert runner.run(apool.exec("echo 4")).stdout == "4\\n"
    worker.close(), pool.close(), runner.run(aworker.close()), runner.run(apool.close())
    print("ok")
"""


@pytest.mark.parametrize("how", ["exited", "collected", "closed", "killed", "used"])
def test_a_forked_child_leaves_the_parents_workers_alone(tag, how):
    done = run_script(FORKED, how, *tagged_worker_argv(tag))
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr
    assert processes_with(tag) == []


@pytest.fixture
def interrupt_after():
    """Raises KeyboardInterrupt in this (the main) thread after the given seconds."""
    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


SYNC_KINDS = {"sync": ShellWorker, "pool": lambda argv: ShellWorkerPool(1, argv=argv)}


@pytest.mark.parametrize("make", SYNC_KINDS.values(), ids=SYNC_KINDS)
def test_an_interrupted_close_ends_the_worker_and_the_command_it_runs(make, tag, unique_argument,
                                                                      interrupt_after):
    target, marker = make(tagged_worker_argv(tag)), unique_argument()
    outcome = []

    def run():
        try:
            target.exec(f"sleep {marker}", timeout=None)
        except WorkerError as error:
            outcome.append(error)
    thread = threading.Thread(target=run)
    thread.start()
    assert wait_for(lambda: processes_with(marker))
    interrupt_after(0.2)  # the close waits for the command, which never ends by itself
    with pytest.raises(KeyboardInterrupt):
        target.close()
    assert (processes_with(tag), processes_with(marker)) == ([], [])
    thread.join(10)
    assert len(outcome) == 1 and outcome[0].sent


@pytest.mark.parametrize("make", SYNC_KINDS.values(), ids=SYNC_KINDS)
def test_an_interrupted_start_leaves_nothing_running(make, tag, interrupt_after):
    interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        make([sys.executable, "-c", "import time; time.sleep(600)", tag])
    assert processes_with(tag) == []


ASYNC_KINDS = {"async": AsyncShellWorker,
               "async pool": lambda argv: AsyncShellWorkerPool(1, argv=argv)}


@pytest.mark.parametrize("make", ASYNC_KINDS.values(), ids=ASYNC_KINDS)
def test_asyncio_kill_returns_at_once_and_the_loop_ends_the_worker(make, tag, monkeypatch):
    monkeypatch.setattr(grace_periods, "AFTER_TERM", 1.0)
    # Its SIGTERM is ignored: only SIGKILL, AFTER_TERM later, ends it.
    argv = stand_in(tag, """
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        while line():
            say(answer("served"))
    """)

    async def main():
        target = make(argv)
        await target.start()
        assert (await target.exec("x")).stdout == "served"
        started = time.monotonic()
        target.kill()
        took = time.monotonic() - started
        with pytest.raises(WorkerError):
            await target.exec("x")
        while processes_with(tag) and time.monotonic() - started < 5:
            await asyncio.sleep(0.02)
        await target.close()
        return took, time.monotonic() - started

    took, gone = asyncio.run(main())
    assert took < 0.2 and 1.0 <= gone < 5
    assert processes_with(tag) == []


LIBRARY = os.path.dirname(AsyncShellWorker.__module__.replace(".", "/"))


class Injected(BaseException):
    """An interruption at a point of the library's own choosing."""


def raising_at(position, in_task):
    """A trace function that raises Injected at the `position`-th function
    entry (generators resumed included), once; `calls` counts them.  With
    `in_task`, only the library's own functions within an asyncio task
    count: an exception in asyncio's machinery, or in a loop's callback,
    breaks the loop itself, whoever's callback it is."""
    calls = [0]

    def trace(frame, event, argument):
        if event == "call" and (not in_task or (LIBRARY in frame.f_code.co_filename
                                                and asyncio.current_task() is not None)):
            calls[0] += 1
            if calls[0] == position:
                raise Injected
        return None
    return trace, calls


def interrupted_exec(run, start, position, in_task):
    """The outcome of one exec interrupted at `position`: its result or the
    exception."""
    trace, calls = raising_at(position, in_task)
    sys.settrace(trace)
    try:
        first = run(lambda target: target.exec("echo first"), start)
    except Injected as error:
        # Kept, with its traceback and so the frames it went through, as an
        # application that logs or re-raises it later keeps it.
        first = error
    finally:
        sys.settrace(None)
    return first, calls[0]


@pytest.mark.timeout(300)
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_an_exception_at_any_step_never_pairs_an_old_answer_with_a_new_request(kind, tag):
    """Each position of the exec in turn: the call either answers itself, or
    the worker ends and the next call says so; the next never gets "first"."""
    argv = tagged_worker_argv(tag)
    runner = asyncio.Runner() if kind == "async" else None

    def run(call, target):
        return call(target) if runner is None else runner.run(call(target))

    def start():
        if runner is None:
            return ShellWorker(argv)
        target = AsyncShellWorker(argv)
        runner.run(target.start())
        return target

    position, interrupted = 1, 0
    try:
        while True:
            target = start()
            first, calls = interrupted_exec(run, target, position, runner is not None)
            if isinstance(first, Injected):
                interrupted += 1
            else:
                assert first.stdout == "first\n"
            try:
                second = run(lambda each: each.exec("echo second"), target)
            except WorkerError:
                assert isinstance(first, Injected) and target.ended, position
            else:
                assert second.stdout == "second\n", position
            run(lambda each: each.close(), target)
            if calls < position:  # the exec made fewer entries: every one was tried
                break
            position += 1
    finally:
        if runner is not None:
            runner.close()
    assert interrupted > 20
    assert processes_with(tag) == []


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_large_answer_costs_the_line_and_its_result(kind, tmp_path):
    """Traced at its peak: the line as read and the text made of it, or that
    text and the result, never more copies of the line."""
    size = 16 << 20
    path = tmp_path / "text"
    path.write_bytes(b"x" * size)
    tracemalloc.start()
    try:
        if kind == "sync":
            with ShellWorker() as worker:
                tracemalloc.reset_peak()
                stdout = worker.exec(f"cat {path}").stdout
        else:
            async def main():
                async with AsyncShellWorker() as worker:
                    tracemalloc.reset_peak()
                    return (await worker.exec(f"cat {path}")).stdout
            stdout = asyncio.run(main())
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(stdout) == size
    assert peak < 2.25 * size


def test_an_answer_that_escapes_heavily_costs_no_second_copy_of_its_line(tmp_path):
    """Control bytes come as six bytes each: the line is six times the result."""
    size = 8 << 20
    path = tmp_path / "control"
    path.write_bytes(b"\x01" * size)
    tracemalloc.start()
    try:
        with ShellWorker() as worker:
            tracemalloc.reset_peak()
            stdout = worker.exec(f"cat {path}").stdout
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert stdout == "\x01" * size
    assert peak < (6 + 1) * size + (8 << 20)
