"""A worker that writes a line it was not asked for: it is ended, and no
answer is ever paired with the wrong request, in every class."""
import os

import pytest

from conftest import POOLS, Driven, processes_with, stand_in, wait_for
from varnok.workers.shell_worker_client import WorkerError

# A valid answer, so that pairing it with a request would go unnoticed.
EXTRA = 'answer("EXTRA")'

# Each stand-in misbehaves once: the first to start makes `sys.argv[2]`, and
# those after it (a pool's replacements) answer every request properly.
ONCE = """
if os.path.exists(sys.argv[2]):
    while line(): say(answer(f"good {os.getpid()}"))
    sys.exit()
open(sys.argv[2], "w").close()
line()
"""
MISBEHAVIOURS = {
    # Two lines in one write: the extra one arrives with the answer.
    "with its answer": ONCE + f'say(answer(f"first {{os.getpid()}}"), {EXTRA})\n'
                              'time.sleep(600)',
    # Written between requests, once sys.argv[3] exists; sys.argv[4] says it is
    # out (SIGTERM waits for that: a pool may notice the line at once).
    "between requests": ONCE + f'say(answer(f"first {{os.getpid()}}"))\n'
                               'while not os.path.exists(sys.argv[3]): time.sleep(0.01)\n'
                               'signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n'
                               f'say({EXTRA}); open(sys.argv[4], "w").close()\n'
                               'signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})\n'
                               'time.sleep(600)',
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("when", MISBEHAVIOURS)
def test_a_line_it_was_not_asked_for_ends_the_worker(kind, unique_argument, tmp_path, when):
    tag, go, written = unique_argument(), tmp_path / "go", tmp_path / "written"
    worker = Driven(kind, stand_in(tag, MISBEHAVIOURS[when], tmp_path / "once", go, written))
    try:
        [first] = processes_with(tag)
        if when == "with its answer":
            with pytest.raises(WorkerError, match="not asked for after its answer") as broken:
                worker.exec("echo 1")
            assert broken.value.sent  # its answer came, so it ran; it cannot be trusted
        else:
            assert worker.exec("echo 1").stdout == f"first {first}"
            go.touch()
            assert wait_for(written.exists)
            if kind in POOLS:
                # Never sent to the broken worker: another serves it.
                assert worker.exec("echo 2").stdout.startswith("good ")
            else:
                with pytest.raises(WorkerError, match="not asked for") as broken:
                    worker.exec("echo 2")
                assert not broken.value.sent
        assert first not in processes_with(tag)
        if kind in POOLS:
            assert worker.exec("echo 3").stdout == f"good {processes_with(tag)[0]}"
        else:
            with pytest.raises(WorkerError, match="has ended"):
                worker.exec("echo 3")
    finally:
        worker.close()
    assert processes_with(tag) == []
