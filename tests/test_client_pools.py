"""Pools that route around failure: workers that die idle, hosts that stop
taking connections, workers that cannot start; and the thread pool's
concurrent.futures face."""
import asyncio
import os
import signal
import threading
from concurrent.futures import Future

import pytest

from conftest import POOLS, Driven, processes_with, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import (AsyncShellWorkerPool, CommandError,
                                                ShellWorkerPool, WorkerError, grace_periods)

pytestmark = pytest.mark.timeout(60)  # a request that waits for a failing worker waits forever


@pytest.fixture(params=POOLS)
def pool_kind(request):
    return request.param


@pytest.fixture
def fast_restarts(monkeypatch):
    monkeypatch.setattr(grace_periods, "RESTART_FIRST", 0.02)
    monkeypatch.setattr(grace_periods, "RESTART_CAP", 0.1)


def flaky_argv(tag, refusing, starts):
    """A worker that, once `refusing` exists, fails to start as ssh does when
    its host refuses connections; each start attempt adds a line to `starts`."""
    return ["sh", "-c", 'echo start >> "$1"; if [ -e "$0" ]; then '
            'echo "ssh: connect to host h port 22: Connection refused" >&2; exit 255; fi; '
            'shift; exec "$@"', refusing, starts, *tagged_worker_argv(tag)]


def kill_idle(pid):
    """Kills a worker and waits until it is dead: a zombie or gone, for only
    then are its pipes closed (its cmdline reads empty before that)."""
    os.kill(pid, signal.SIGKILL)

    def dead():
        try:
            with open(f"/proc/{pid}/stat") as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
        except OSError:  # reaped meanwhile
            return True
    assert wait_for(dead)


def exec_all(pool, commands):
    if isinstance(pool.target, ShellWorkerPool):
        return list(pool.target.map(commands))

    async def gather():
        return await asyncio.gather(*(pool.target.exec(command) for command in commands))
    return pool.run(gather())


def pool_of(kind, argvs):
    """A Driven pool of `kind` with one worker per entry of `argvs`."""
    driven = Driven.__new__(Driven)
    driven.kind, driven.runner = kind, None
    if kind == "pool":
        driven.target = ShellWorkerPool(argvs=argvs)
    else:
        driven.runner = asyncio.Runner()
        driven.target = AsyncShellWorkerPool(argvs=argvs)
        driven.run(driven.target.start())
    return driven


def test_a_pool_serves_everyone_with_the_workers_it_has_left(pool_kind, unique_argument,
                                                              tmp_path, fast_restarts):
    good, bad = unique_argument(), unique_argument()
    refusing, starts = tmp_path / "refusing", tmp_path / "starts"
    pool = pool_of(pool_kind, [tagged_worker_argv(good)] * 2 + [flaky_argv(bad, refusing, starts)])
    try:
        refusing.touch()
        kill_idle(processes_with(bad)[0])  # its host has gone: it cannot come back
        results = exec_all(pool, ["echo $PPID"] * 12)
        assert all(result.ok for result in results)
        assert {int(result.stdout) for result in results} <= set(processes_with(good))
        assert wait_for(lambda: len(starts.read_text().split()) >= 2)  # it was tried again
        # Each retry is a shell that lives a few milliseconds before it is refused;
        # between retries nothing of the failing slot runs.
        assert wait_for(lambda: processes_with(bad) == [])
    finally:
        pool.close()
    assert processes_with(good) == []


def test_a_worker_that_dies_idle_is_replaced_without_failing_anyone(pool_kind, unique_argument):
    tag = unique_argument()
    pool = Driven(pool_kind, tagged_worker_argv(tag))
    try:
        [first] = processes_with(tag)
        kill_idle(first)

        async def replaced():  # the loop must run to notice
            while processes_with(tag) in ([], [first]):
                await asyncio.sleep(0.01)
        if pool.runner is None:
            assert wait_for(lambda: processes_with(tag) not in ([], [first]))
        else:
            pool.run(asyncio.wait_for(replaced(), 10))
        [second] = processes_with(tag)
        assert pool.exec("echo $PPID").stdout == f"{second}\n"
        # A death not yet noticed: the request reaches no live worker, so
        # another serves it.
        kill_idle(second)
        assert int(pool.exec("echo $PPID").stdout) not in (first, second)
    finally:
        pool.close()


def test_a_pool_whose_every_worker_fails_to_start_raises_at_once(pool_kind, unique_argument,
                                                                  tmp_path, fast_restarts):
    tag, refusing, starts = unique_argument(), tmp_path / "refusing", tmp_path / "starts"
    argv = flaky_argv(tag, refusing, starts)
    pool = Driven(pool_kind, argv)
    try:
        refusing.touch()
        kill_idle(processes_with(tag)[0])
        with pytest.raises(WorkerError, match="every worker of the pool is failing to start") \
                as failing:
            pool.exec("true")
        error = failing.value
        assert not error.sent and error.argv == tuple(argv) and error.returncode == 255
        assert "Connection refused" in error.stderr_tail[-1]
        assert "failed start" in str(error) and "the next try in" in str(error)
        refusing.unlink()  # the host is back: the next try succeeds

        def served():
            try:
                return pool.exec("echo back").stdout == "back\n"
            except WorkerError:
                return False
        assert wait_for(served, 10)
    finally:
        pool.close()


def test_start_reports_every_worker_that_failed(pool_kind, unique_argument):
    tag = unique_argument()
    argvs = [tagged_worker_argv(tag), ["/nonexistent/a"], ["sh", "-c", "echo no >&2; exit 3"]]
    with pytest.raises(ExceptionGroup) as failed:
        pool_of(pool_kind, argvs)
    assert sorted(error.argv for error in failed.value.exceptions) == sorted(map(tuple, argvs[1:]))
    # Each names its place in the pool and its command.
    assert sorted((str(error)[:20], error.argv[0] in str(error))
                  for error in failed.value.exceptions) == [
        ("worker 1 of the pool", True), ("worker 2 of the pool", True)]
    assert all(isinstance(error, WorkerError) and not error.sent
               for error in failed.value.exceptions)
    assert processes_with(tag) == []


def test_the_thread_pool_in_the_manner_of_concurrent_futures(tmp_path):
    with ShellWorkerPool(2) as pool:
        future = pool.submit(["printf", "%s", "a b"])
        assert isinstance(future, Future) and future.result().stdout == "a b"
        # Each waits for the other: they only end if they run side by side.
        meet = f"touch {tmp_path}/$0; while [ ! -e {tmp_path}/$1 ]; do sleep 0.01; done"
        both = pool.map([f"sh -c '{meet}' a b", f"sh -c '{meet}' b a"], timeout=30)
        assert [result.returncode for result in both] == [0, 0]
        assert [r.stdout for r in pool.map(f"echo {n}" for n in range(6))] == \
            [f"{n}\n" for n in range(6)]
        with pytest.raises(CommandError) as failed:
            pool.submit("exit 3", check=True).result()
        assert failed.value.result.returncode == 3 and failed.value.command == "exit 3"
        assert pool.exec_many(["true", "false"])[1].returncode == 1


def test_closing_or_killing_the_thread_pool_fails_what_waits(unique_argument):
    tag, marker = unique_argument(), unique_argument()
    pool = ShellWorkerPool(1, argv=tagged_worker_argv(tag))
    running = pool.submit(f"sleep {marker}")
    waiting = pool.submit("echo never")
    assert wait_for(lambda: processes_with(marker))
    threading.Thread(target=pool.kill).start()
    with pytest.raises(WorkerError, match="killed") as killed:
        running.result(30)
    assert killed.value.sent
    with pytest.raises(WorkerError, match="not sent") as unsent:
        waiting.result(30)
    assert not unsent.value.sent
    with pytest.raises(WorkerError, match="closed"):
        pool.submit("true")
    pool.close()
    assert processes_with(tag) == [] and wait_for(lambda: processes_with(marker) == [], 2)
