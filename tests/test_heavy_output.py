"""Heavy work through one worker process: a big output, both streams at once,
a long run of requests and a long run of time-outs."""
import json
import os
import sys
import time

import pytest

from conftest import processes_with, unique_seconds, wait_for

MIB = 1 << 20
with open("/proc/self/maps") as maps:
    SANITIZED = "libasan" in maps.read()


def ask(worker, request):
    worker.send(json.dumps(request).encode() + b"\n")
    return json.loads(worker.receive())


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@pytest.mark.timeout(300)
def test_64_mib_of_stdout_comes_back_whole_and_exact(worker, tmp_path):
    data = bytearray(__import__("base64").b64encode(os.urandom(48 * MIB)))
    # Escapes of every kind on the way, at each mebibyte: non-ASCII, a pair
    # of surrogates, control characters, quote and backslash.
    for at in range(0, len(data), MIB):
        data[at:at + 16] = "é€😀\n\t\x01\"\\/ ".encode()
    (tmp_path / "big").write_bytes(data)
    start = time.perf_counter()
    response = ask(worker, {"command": "cat big", "cwd": str(tmp_path)})
    elapsed = time.perf_counter() - start
    assert response["success"] and len(data) == 64 * MIB
    assert response["result"]["stdout"].encode() == data
    print(f"64 MiB of stdout in {elapsed:.2f} s")


@pytest.mark.timeout(120)
def test_both_streams_interleaved_do_not_deadlock(worker):
    chunk, count = 4096, 256  # 1 MiB on each stream, alternating
    writer = ("import os\n"
              f"for i in range({count}):\n"
              f"    os.write(1, b'%08d' % i + b'o' * {chunk - 8})\n"
              f"    os.write(2, b'%08d' % i + b'e' * {chunk - 8})\n")
    response = ask(worker, {"command": f"{sys.executable} -c \"{writer}\""})
    result = response["result"]
    assert result["returncode"] == 0
    for stream, fill in (("stdout", "o"), ("stderr", "e")):
        assert result[stream] == "".join(f"{i:08d}" + fill * (chunk - 8) for i in range(count))


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine keeps freed memory resident by design")
@pytest.mark.timeout(300)
def test_ten_thousand_requests_keep_memory_flat(worker):
    kinds = [{"command": "printf ok"}, {"action": "exec_many", "commands": ["true", "exit 2"]},
             {}, {"action": "EXEC"}, {"command": "true", "cwd": "/nonexistent"}]
    lines = [json.dumps(kind).encode() + b"\n" for kind in kinds] + [b" \nnot json\n"]

    def run(requests):
        for i in range(requests):
            worker.send(lines[i % len(lines)])
            assert json.loads(worker.receive())["success"] in (True, False)

    run(500)  # warm-up: caches and allocator pools fill once
    start = resident_kib(worker.process.pid)
    run(10_000)
    end = resident_kib(worker.process.pid)
    print(f"VmRSS {start} KiB after warm-up, {end} KiB after 10,000 more requests")
    assert end - start < 1024, (start, end)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


@pytest.mark.timeout(120)
def test_endless_output_meets_the_limit_with_bounded_memory(worker):
    marker = unique_seconds()  # `yes` repeats it: its processes can be counted
    response = ask(worker, {"command": f"yes {marker}"})
    limit = "Command output exceeded 268435456 bytes on stdout"
    assert response == {"success": False, "error": limit,
                        "result": {"stdout": "", "stderr": limit, "returncode": -1}}
    peak = peak_kib(worker.process.pid)
    print(f"endless output: the worker's peak resident size was {peak / 1024:.0f} MiB")
    assert peak < 1.5 * 1024 * 1024
    assert wait_for(lambda: processes_with(marker) == [], 0.5)


@pytest.mark.timeout(120)
def test_fifty_time_outs_leave_none_of_their_processes(worker):
    # Counted by a unique argument: a killed shell's children would be re-parented, so no
    # longer the worker's children, yet still alive.
    seconds = unique_seconds()
    started = time.monotonic()
    for _ in range(50):
        response = ask(worker, {"command": f"sleep {seconds} | cat", "timeout": 0.05})
        assert response["error"] == "Command timed out after 0.05s"
    elapsed = time.monotonic() - started
    assert wait_for(lambda: processes_with(seconds) == [], 0.5)
    print(f"50 time-outs in {elapsed:.2f} s, none of their processes left")
