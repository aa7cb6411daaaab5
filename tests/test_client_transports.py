"""What stands in front of a worker: a transport that hangs before the worker
answers, one that prints a login banner first, and what is left of either
once it has been ended."""
import os
import sys
import time

import pytest

from conftest import POOLS, Driven, processes_with, run_python, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import WorkerError, grace_periods
from varnok.workers.shell_worker_client.pool_slots import pool_argvs


def hanging(tag):
    """A transport that never gets to the worker: ssh to a host cut off."""
    return [sys.executable, "-c", "import time; time.sleep(600)", tag]


def test_start_timeout_bounds_a_start_that_hangs(kind, tag):
    started = time.monotonic()
    match = r"did not answer within start_timeout \(0.5 s\)"
    with pytest.raises(WorkerError, match=match) as failed:
        Driven(kind, hanging(tag), start_timeout=0.5)
    assert 0.5 <= time.monotonic() - started < 0.5 + grace_periods.AFTER_TERM + 1
    assert not failed.value.sent and tag in failed.value.message
    assert processes_with(tag) == []


@pytest.mark.parametrize("value, error", [(0, ValueError), (float("nan"), ValueError),
                                          ("1", TypeError)])
def test_start_timeout_must_be_a_positive_number(kind, value, error):
    with pytest.raises(error, match="start_timeout"):
        Driven(kind, start_timeout=value)


# The worker the first time; a transport that hangs every time after.
FIRST_START_ONLY = """
import os, sys, time
if os.path.exists(sys.argv[2]):
    time.sleep(600)
open(sys.argv[2], "w").close()
os.execv(sys.executable, [sys.executable, "-c", "import sys; "
         "from varnok.workers.shell_worker_cli import run; sys.exit(run([]))", sys.argv[1]])
"""


@pytest.mark.timeout(60)
@pytest.mark.parametrize("pool_kind", POOLS)
@pytest.mark.parametrize("end", ["close", "kill"])
def test_a_pool_ends_a_worker_whose_restart_hangs(pool_kind, end, tag, tmp_path):
    pool = Driven(pool_kind, [sys.executable, "-c", FIRST_START_ONLY, tag,
                              str(tmp_path / "started")])
    [first] = processes_with(tag)
    with pytest.raises(WorkerError):
        pool.exec(f"kill -KILL {first}")
    assert wait_for(lambda: processes_with(tag) not in ([], [first]))  # the restart, hanging
    started = time.monotonic()
    pool.close(timeout=1) if end == "close" else pool.kill()
    assert time.monotonic() - started < 1 + grace_periods.AFTER_TERM + 1
    assert wait_for(lambda: processes_with(tag) == [], 1)
    if end == "kill":
        pool.close()


def with_banner(tag, *lines):
    """The worker behind a shell that greets first, as a login shell may."""
    return ["sh", "-c", "printf '%s\\n' \"$@\" | head -n $(($# - 4)); shift $(($# - 4)); "
            "exec \"$@\"", "sh", *lines, *tagged_worker_argv(tag)]


@pytest.mark.parametrize("lines", [["Welcome to host"], ["", "motd: {\"not\": \"an answer\"}"]])
def test_a_banner_before_the_first_answer_is_kept_as_the_preamble(kind, tag, lines):
    target = Driven(kind, with_banner(tag, *lines))
    try:
        assert target.exec("echo hi").stdout == "hi\n"
        if kind not in POOLS:
            assert target.target.preamble == "".join(line + "\n" for line in lines)
    finally:
        target.close()


@pytest.mark.parametrize("lines, options, match", [
    (["Welcome to host"], {"allow_preamble": False}, r"b'Welcome to host\\n'.*allow_preamble"),
    ([f"line {number}" for number in range(101)], {}, "more than 100 lines or 64 KiB"),
    (["x" * 70_000], {}, "more than 100 lines or 64 KiB"),
])
def test_a_banner_that_is_forbidden_or_too_long_fails_the_start(kind, tag, lines, options, match):
    with pytest.raises(WorkerError, match=match) as failed:
        Driven(kind, with_banner(tag, *lines), **options)
    assert not failed.value.sent
    assert processes_with(tag) == []


# Workers that the exit ends, and one killed after its loop closed: their pipes
# are not reported as unclosed files.
LEFT_AT_EXIT = """
    import asyncio, gc
    from varnok.workers.shell_worker_client import *
    sync, pool = ShellWorker(), ShellWorkerPool(1)
    async def main():
        worker = AsyncShellWorker()
        await worker.start()
        return worker
    worker = asyncio.run(main())
    worker.kill()
    del worker
    gc.collect()
    print("ok")
"""


def test_workers_ended_at_exit_or_killed_after_their_loop_leave_no_unclosed_file():
    done = run_python(LEFT_AT_EXIT, env={**os.environ, "PYTHONWARNINGS": "always"})
    assert done.stdout == "ok\n"
    assert "unclosed" not in done.stderr and "Warning" not in done.stderr, done.stderr


@pytest.mark.parametrize("name, value", [("process_cpu_count", 3), ("sched_getaffinity", {0, 5})])
def test_the_default_pool_size_is_the_cpus_this_process_may_use(monkeypatch, name, value):
    if name == "sched_getaffinity":
        monkeypatch.delattr(os, "process_cpu_count", raising=False)
        monkeypatch.setattr(os, name, lambda pid: value)
    else:
        monkeypatch.setattr(os, name, lambda: value, raising=False)
    monkeypatch.setattr(os, "cpu_count", lambda: 64)
    assert len(pool_argvs(None, ["w"], None)) == (value if name == "process_cpu_count"
                                                  else len(value))
