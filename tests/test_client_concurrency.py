"""Several callers at once: threads and tasks taking turns, a pool's queue,
cancellation and interruption mid-request, and closing with requests waiting."""
import asyncio
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import parent_of, processes_with, running, tagged_worker_argv, wait_for
from varnok.workers.shell_worker_client import (AsyncShellWorker, AsyncShellWorkerPool,
                                                ShellWorker, ShellWorkerPool, WorkerError)


@pytest.mark.timeout(60)  # calls that do not take turns can leave both sides waiting
def test_threads_take_turns_on_one_worker():
    answers = {}

    def ask(thread):
        answers[thread] = [worker.exec(f"echo {thread}-{n}").stdout for n in range(25)]

    with ShellWorker() as worker:
        threads = [threading.Thread(target=ask, args=(t,)) for t in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert answers == {t: [f"{t}-{n}\n" for n in range(25)] for t in range(4)}


def test_tasks_take_turns_on_one_worker():
    async def main():
        async with AsyncShellWorker() as worker:
            return await asyncio.gather(*(worker.exec(f"echo {n}") for n in range(40)))

    assert [result.stdout for result in asyncio.run(main())] == [f"{n}\n" for n in range(40)]


def test_a_pool_serves_strictly_first_come_first_served():
    # The looping caller asks again the moment its answer comes back; it must
    # still wait behind the callers that were already waiting.
    served = []

    async def caller(pool, name, times):
        for n in range(times):
            await pool.exec("true")
            served.append(f"{name}{n}")

    async def main():
        async with AsyncShellWorkerPool(1) as pool:
            looping = asyncio.create_task(caller(pool, "L", 3))
            await asyncio.sleep(0)
            await asyncio.gather(looping, caller(pool, "A", 1), caller(pool, "B", 1))

    asyncio.run(main())
    assert served == ["L0", "A0", "B0", "L1", "L2"]


def test_a_pool_of_4_runs_40_short_sleeps_in_under_4_s():
    async def main():
        async with AsyncShellWorkerPool(4) as pool:
            started = time.monotonic()
            results = await asyncio.gather(*(pool.exec("sleep 0.2") for _ in range(40)))
            return time.monotonic() - started, results

    elapsed, results = asyncio.run(main())
    assert all(result.ok for result in results) and len(results) == 40
    assert elapsed < 4, elapsed


@pytest.mark.parametrize("make", [ShellWorker, lambda argv: ShellWorkerPool(1, argv=argv)],
                         ids=["worker", "pool"])
def test_a_keyboard_interrupt_ends_the_worker_and_its_command(tag, unique_argument,
                                                             sigint_restored, make):
    marker = unique_argument()
    main_thread = threading.main_thread().ident

    def interrupt_once_running():
        if wait_for(lambda: processes_with(marker)):
            signal.pthread_kill(main_thread, signal.SIGINT)

    worker = make(tagged_worker_argv(tag))
    [interrupted] = processes_with(tag)
    # Tests that run the worker's main() in this process leave SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Thread(target=interrupt_once_running).start()
    with pytest.raises(KeyboardInterrupt):
        worker.exec(f"sleep {marker} | cat")
    assert interrupted not in processes_with(tag)
    assert wait_for(lambda: processes_with(marker) == [], 2)
    if isinstance(worker, ShellWorker):
        with pytest.raises(WorkerError):
            worker.exec("true")
    else:
        assert worker.exec("echo replaced").stdout == "replaced\n"
    worker.close()


def test_cancelling_a_request_leaves_nothing_of_it_running(tag, unique_argument):
    marker = unique_argument()

    async def main():
        async with AsyncShellWorker(tagged_worker_argv(tag)) as worker:
            request = asyncio.create_task(worker.exec(f"sleep {marker} | cat; echo never"))
            await running(marker)
            request.cancel()
            with pytest.raises(asyncio.CancelledError):
                await request
            assert processes_with(tag) == []  # reaped before the cancellation passed on
            with pytest.raises(WorkerError):
                await worker.exec("true")

    asyncio.run(main())
    assert wait_for(lambda: processes_with(marker) == [], 2)


@pytest.mark.parametrize("how", ["cancelled", "killed"])
def test_a_pool_replaces_a_lost_worker_and_leaves_the_others_alone(tag, unique_argument, how):
    marker = unique_argument()  # a killed worker cannot end its command: the fixture does

    async def main():
        async with AsyncShellWorkerPool(2, argv=tagged_worker_argv(tag)) as pool:
            other = asyncio.create_task(pool.exec("sleep 0.5; echo $PPID"))
            lost = asyncio.create_task(pool.exec(f"sleep {marker}"))
            await running(marker)
            lost_pid = parent_of(processes_with(marker)[0])
            if how == "cancelled":
                lost.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await lost
            else:
                os.kill(lost_pid, signal.SIGKILL)
                with pytest.raises(WorkerError) as died:
                    await lost
                assert died.value.returncode == -signal.SIGKILL and died.value.sent
            assert lost_pid not in processes_with(tag)  # reaped before the error passed on
            survivor = (await other).stdout
            answers = await asyncio.gather(*(pool.exec("sleep 0.3; echo $PPID") for _ in range(2)))
            assert survivor in [answer.stdout for answer in answers]
            assert len(processes_with(tag)) == 2

    asyncio.run(main())
    assert processes_with(tag) == []


def test_cancelling_a_waiting_request_leaves_the_worker_alone():
    async def main():
        async with AsyncShellWorkerPool(1) as pool:
            first = asyncio.create_task(pool.exec("sleep 0.3; echo $PPID"))
            waiting = asyncio.create_task(pool.exec("echo never"))
            await asyncio.sleep(0.1)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            assert (await first).stdout == (await pool.exec("echo $PPID")).stdout

    asyncio.run(main())


@pytest.mark.parametrize("kind", ["sync", "async", "pool"])
def test_closing_lets_the_request_in_flight_finish_and_fails_those_waiting(kind, tag):
    argv = tagged_worker_argv(tag)
    if kind == "sync":
        worker = ShellWorker(argv)
        with ThreadPoolExecutor(3) as threads:
            requests = []
            for n in range(3):
                requests.append(threads.submit(worker.exec, f"sleep 0.4; echo {n}"))
                time.sleep(0.1)
            worker.close()
        outcomes = [request.exception() or request.result().stdout for request in requests]
    else:
        async def main():
            target = AsyncShellWorker(argv) if kind == "async" else AsyncShellWorkerPool(1, argv=argv)
            await target.start()
            requests = []
            for n in range(3):
                requests.append(asyncio.create_task(target.exec(f"sleep 0.4; echo {n}")))
                await asyncio.sleep(0.1)
            await target.close()
            return [request.exception() or request.result().stdout for request in requests]

        outcomes = asyncio.run(main())
    assert outcomes[0] == "0\n"
    assert all(isinstance(outcome, WorkerError) for outcome in outcomes[1:]), outcomes
    assert processes_with(tag) == []


def test_a_pool_that_cannot_start_every_worker_ends_those_that_did(tag):
    pool = AsyncShellWorkerPool(argvs=[tagged_worker_argv(tag), ["/nonexistent/worker"],
                                  tagged_worker_argv(tag)])
    with pytest.raises(ExceptionGroup) as failed:
        asyncio.run(pool.start())
    [error] = failed.value.exceptions
    assert isinstance(error, WorkerError) and error.argv == ("/nonexistent/worker",)
    assert "/nonexistent/worker" in str(error) and not error.sent
    assert processes_with(tag) == []


@pytest.mark.parametrize("arguments", [
    {"size": 2, "argvs": [["a"]]}, {"argv": ["a"], "argvs": [["a"]]}, {"size": 0},
    {"argvs": []}, {"argv": []},
])
def test_a_pool_refuses_contradictory_settings(arguments):
    with pytest.raises(ValueError):
        AsyncShellWorkerPool(**arguments)
