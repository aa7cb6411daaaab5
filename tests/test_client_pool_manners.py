"""ShellWorkerPool as an executor: shutdown, cancellation of running
requests, and interrupts that end what the interrupted call started."""
import os
import signal
import sys
import threading
from concurrent.futures import wait

import pytest

from conftest import processes_with, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import ShellWorkerPool, WorkerError


def main_thread_in(function_name):
    frame = sys._current_frames().get(threading.main_thread().ident)
    while frame is not None and frame.f_code.co_name != function_name:
        frame = frame.f_back
    return frame is not None


@pytest.fixture
def interrupt_once_running(sigint_restored):
    """interrupt(*markers, inside=None): SIGINT to this (the main) thread
    once a process carries each marker, that is once each command has
    started, and, given `inside`, once the main thread runs that function."""
    main_thread = threading.main_thread().ident
    # Tests that run the worker's main() in this process leave SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def interrupt(*markers, inside=None):
        def when_running():
            if wait_for(lambda: all(processes_with(marker) for marker in markers)
                        and (inside is None or main_thread_in(inside))):
                signal.pthread_kill(main_thread, signal.SIGINT)
        threading.Thread(target=when_running).start()
    return interrupt


def served_by_new_workers(pool, tag, old):
    """The pool serves on, by workers other than `old`."""
    assert pool.exec("echo replaced").stdout == "replaced\n"
    assert not set(old) & set(processes_with(tag))


@pytest.mark.parametrize("how", ["map", "exec", "Future.result()"])
def test_an_interrupt_ends_every_command_the_call_started(how, tag, unique_argument,
                                                          interrupt_once_running):
    markers = [unique_argument(), unique_argument()]
    with ShellWorkerPool(2, argv=tagged_worker_argv(tag)) as pool:
        old = processes_with(tag)
        interrupt_once_running(*(markers if how == "map" else markers[:1]))
        with pytest.raises(KeyboardInterrupt):
            if how == "map":
                list(pool.map([f"sleep {marker} | cat" for marker in markers] + ["true"]))
            elif how == "exec":
                pool.exec(f"sleep {markers[0]} | cat")
            else:
                pool.submit(f"sleep {markers[0]} | cat").result()
        for marker in markers:
            assert wait_for(lambda: processes_with(marker) == [], 2)
        served_by_new_workers(pool, tag, old if how == "map" else [])


def test_cancelling_a_running_request_ends_its_command_and_replaces_its_worker(tag,
                                                                                unique_argument):
    marker = unique_argument()
    with ShellWorkerPool(1, argv=tagged_worker_argv(tag)) as pool:
        old = processes_with(tag)
        running = pool.submit(f"sleep {marker} | cat")
        waiting = pool.submit("echo after")
        assert wait_for(lambda: processes_with(marker))
        assert running.running() and running.cancel() and running.cancelled()
        assert wait([running], timeout=5).done == {running}
        assert wait_for(lambda: processes_with(marker) == [], 2)
        # The next request waits for the new worker, not for an answer.
        assert waiting.result(timeout=10).stdout == "after\n"
        served_by_new_workers(pool, tag, old)
        assert not waiting.cancel() and not waiting.cancelled()  # done: too late


@pytest.mark.parametrize("cancel_futures", [False, True])
def test_shutdown_serves_or_cancels_what_waits_then_ends_the_workers(cancel_futures, tag,
                                                                     tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    pool = ShellWorkerPool(1, argv=tagged_worker_argv(tag))
    first = pool.submit(f"head -c 2 {fifo}")  # runs until the test writes to the fifo
    waiting = [pool.submit(f"echo {index}") for index in range(3)]
    assert wait_for(first.running)
    pool.shutdown(wait=False, cancel_futures=cancel_futures)
    with pytest.raises(WorkerError, match="closed"):
        pool.submit("true")
    assert [each.cancelled() for each in waiting] == [cancel_futures] * 3
    fifo.write_text("ok")
    pool.shutdown()  # waits
    assert first.result().stdout == "ok"
    if not cancel_futures:
        assert [each.result().stdout for each in waiting] == ["0\n", "1\n", "2\n"]
    assert processes_with(tag) == []


def test_leaving_a_with_block_serves_every_request_queued(tag):
    with ShellWorkerPool(2, argv=tagged_worker_argv(tag)) as pool:
        futures = [pool.submit(f"echo {index}") for index in range(6)]
    assert [future.result().stdout for future in futures] == [f"{i}\n" for i in range(6)]
    assert processes_with(tag) == []
    with pytest.raises(WorkerError):
        pool.exec("true")


def test_an_interrupted_shutdown_kills_every_worker_and_its_command(tag, unique_argument,
                                                                     interrupt_once_running):
    marker = unique_argument()
    pool = ShellWorkerPool(2, argv=tagged_worker_argv(tag))
    running = pool.submit(f"sleep {marker} | cat")
    interrupt_once_running(marker, inside="join")  # the wait for the sleep to end
    with pytest.raises(KeyboardInterrupt):
        pool.shutdown()
    assert wait_for(lambda: processes_with(marker) == [], 2)
    assert wait_for(lambda: processes_with(tag) == [], 2)
    with pytest.raises(WorkerError):
        running.result(timeout=5)
