"""Benchmarks of the compiled worker against a plain-Python worker, a bare
subprocess.run, a C loop of posix_spawn (bench/spawn_floor.c), a C worker
that answers in lock-step (bench/lockstep_worker.c; both built here with the
C compiler), a Python loop of the worker's I/O without JSON
(bench/echo_worker.py) and the worker's own old response path, all measured
in one run; prints one table.

Before a comparison is timed, both sides are run on its inputs and their
responses compared byte for byte; the run stops if they differ.

    python bench/run.py [--quick] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import platform
import shlex
import signal
import subprocess
import sys
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from itertools import repeat
from pathlib import Path
from time import perf_counter, thread_time
from typing import Callable, Iterator

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import baseline_worker as baseline  # noqa: E402
import harness  # noqa: E402
from harness import Comparison, Row, Series, Target, paired, per_call  # noqa: E402
from controller_cpu import bench_controller_cpu  # noqa: E402
from controller_memory import bench_controller_memory  # noqa: E402
from pool_throughput import bench_pool  # noqa: E402

import varnok.workers.shell_worker as module  # noqa: E402

NS, US = 1e9, 1e6
MIB = 1 << 20


@dataclass
class Settings:
    sample_seconds: float = 0.02
    dispatch_pairs: int = 40
    main_loop_pairs: int = 10
    execution_pairs: int = 100
    round_trip_pairs: int = 16
    memory_pairs: int = 3
    flood_pairs: int = 6
    stream_pairs: int = 3

    @classmethod
    def quick(cls) -> Settings:
        return cls(sample_seconds=0.01, dispatch_pairs=5, main_loop_pairs=2,
                   execution_pairs=10, round_trip_pairs=2, memory_pairs=1,
                   flood_pairs=2, stream_pairs=1)


class Mismatch(SystemExit):
    def __init__(self, what: str, module_output: object, baseline_output: object) -> None:
        super().__init__(f"refusing to time {what}: the responses differ\n"
                         f"  module:   {str(module_output)[:300]}\n"
                         f"  baseline: {str(baseline_output)[:300]}")


def require_identical(what: str, module_output: object, baseline_output: object) -> None:
    if module_output != baseline_output:
        raise Mismatch(what, module_output, baseline_output)


# --- dispatch ------------------------------------------------------------------

COMPLETED = {"stdout": "", "stderr": "", "returncode": 0}


def trivial_executor(command, timeout, cwd):
    return COMPLETED


@contextmanager
def rebound(namespace: object, name: str, value: object) -> Iterator[None]:
    saved = getattr(namespace, name)
    setattr(namespace, name, value)
    try:
        yield
    finally:
        setattr(namespace, name, saved)


def dispatch_timer(handle_command: Callable, request: dict) -> Callable[[int], float]:
    def time_loops(loops: int) -> float:
        start = thread_time()
        for _ in repeat(None, loops):
            handle_command(request)
        return thread_time() - start
    return time_loops


def bench_dispatch(settings: Settings) -> list[Row]:
    # Decoded as main decodes them, so that their texts are not the interned
    # constants of this file.
    cases = [
        ("dispatch: {}", json.loads('{}')),
        ("dispatch: unknown action", json.loads('{"action": "frobnicate"}')),
        ("dispatch: exec, trivial executor", json.loads('{"command": "true"}')),
    ]
    rows = []
    with rebound(module, "execute_command", trivial_executor), \
            rebound(baseline, "execute_command", trivial_executor):
        for name, request in cases:
            require_identical(name, json.dumps(module.handle_command(request)),
                              json.dumps(baseline.handle_command(request)))
            comparison = paired(
                per_call(dispatch_timer(module.handle_command, request),
                         settings.sample_seconds, NS),
                per_call(dispatch_timer(baseline.handle_command, request),
                         settings.sample_seconds, NS),
                settings.dispatch_pairs)
            # Bounded by the host's JSON codec, which both sides share: a measurement,
            # not a goal.
            rows.append(Row(name, "ns/call", comparison, "Python worker", Target()))
    return rows


# --- main loop -----------------------------------------------------------------

MAIN_LOOP_LINES = 200_000
MAIN_LOOP_MIX = ['{}', '{"action": "frobnicate"}', 'not json', '   ']


@contextmanager
def in_memory_streams(text: str) -> Iterator[io.StringIO]:
    """sys.stdin reading `text` and sys.stdout into memory; main() also sets
    SIGINT to ignored, which is put back afterwards."""
    saved = sys.stdin, sys.stdout, signal.getsignal(signal.SIGINT)
    sys.stdin, sys.stdout = io.StringIO(text), io.StringIO()
    try:
        yield sys.stdout
    finally:
        sys.stdin, sys.stdout = saved[:2]
        signal.signal(signal.SIGINT, saved[2])


def run_main(main: Callable[[], None], text: str) -> tuple[float, str]:
    with in_memory_streams(text) as out:
        start = thread_time()
        main()
        seconds = thread_time() - start
    return seconds, out.getvalue()


def bench_main_loop(settings: Settings) -> list[Row]:
    lines = [MAIN_LOOP_MIX[i % len(MAIN_LOOP_MIX)] for i in range(MAIN_LOOP_LINES)]
    text = "\n".join(lines) + "\n"
    name = "main loop: 200,000 mixed lines"
    require_identical(name, run_main(module.main, text)[1], run_main(baseline.main, text)[1])
    comparison = paired(lambda: run_main(module.main, text)[0] / MAIN_LOOP_LINES,
                        lambda: run_main(baseline.main, text)[0] / MAIN_LOOP_LINES,
                        settings.main_loop_pairs)
    # A measurement without a target, as the dispatch rows.
    return [Row(name, "lines/s", comparison.inverted(), "Python worker", Target())]


# --- execution -----------------------------------------------------------------

def bare_run(command: str) -> subprocess.CompletedProcess:
    """The call that execute_command makes, with the same arguments, made
    afresh each time as execute_command makes them."""
    return subprocess.run(command, shell=True, capture_output=True, text=True, timeout=30.0,
                          cwd=os.getcwd(), env=dict(os.environ), stdin=subprocess.DEVNULL)


def calls_timer(call: Callable[[], object],
                clock: Callable[[], float] = perf_counter) -> Callable[[int], float]:
    """Times `loops` calls by `clock`: the wall clock where children are
    waited for, this thread's CPU time where the work is all in process."""
    def time_loops(loops: int) -> float:
        start = clock()
        for _ in repeat(None, loops):
            call()
        return clock() - start
    return time_loops


FLOOR_COMMANDS = 300


def bench_execution(settings: Settings) -> list[Row]:
    name = 'execution: execute_command("true")'
    completed = bare_run("true")
    require_identical(name, json.dumps(module.execute_command("true")),
                      json.dumps(baseline.execute_command("true")))
    require_identical(name, module.execute_command("true"),
                      {"stdout": completed.stdout, "stderr": completed.stderr,
                       "returncode": completed.returncode})
    comparison = paired(
        per_call(calls_timer(lambda: module.execute_command("true")), settings.sample_seconds, US),
        per_call(calls_timer(lambda: bare_run("true")), settings.sample_seconds, US),
        settings.execution_pairs)
    # The executor alone against the floor: samples of about 300 commands on both sides.
    floor = spawn_floor(FLOOR_COMMANDS)
    versus_floor = paired(
        per_call(calls_timer(lambda: module.execute_command("true")), FLOOR_COMMANDS / 1000, US),
        lambda: floor() * US, settings.round_trip_pairs)
    return [Row(name, "µs/call", comparison, "bare subprocess.run", Target(high=0.85)),
            Row(name, "µs/call", versus_floor, "posix_spawn C loop", Target(high=1.15))]


def bench_patch_check(settings: Settings) -> list[Row]:
    """What deciding whether the host's machinery is its own costs: a command
    that fails before its child starts (a NUL in it), with a change to a
    watched dict before each call, which makes the verdict look at the
    standard library again, against the same calls with nothing changed,
    where the check is one comparison of the change count."""
    name = 'patch check: execute_command("\\0")'
    namespace = vars(os)

    def after_a_change() -> object:
        namespace["_shell_worker_bench"] = object()  # not a recorded name: nothing is patched
        return module.execute_command("\0")

    try:
        require_identical(name, after_a_change(), module.execute_command("\0"))
        comparison = paired(
            per_call(calls_timer(after_a_change, thread_time), settings.sample_seconds, US),
            per_call(calls_timer(lambda: module.execute_command("\0"), thread_time),
                     settings.sample_seconds, US),
            settings.execution_pairs)
    finally:
        namespace.pop("_shell_worker_bench", None)
    return [Row(name, "µs/call", comparison, "nothing changed", Target())]


# --- worker processes ----------------------------------------------------------

def built(name: str) -> Path:
    """bench/NAME.c built here with the C compiler, when missing or older
    than its source or the headers beside it."""
    program = BENCH_DIR.parent / "build" / "bench" / name
    source = BENCH_DIR / f"{name}.c"
    newest = max(path.stat().st_mtime for path in [source, *BENCH_DIR.glob("*.h")])
    if not program.exists() or program.stat().st_mtime < newest:
        program.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", str(program), str(source)],
                       check=True)
    return program


# The module's main writes a response in pieces only to io's own text stream;
# the same stream rebuilt over the same binary buffer, with the same settings,
# as a subclass of io's class, reaches the path that every other case takes.
OLD_PATH = ("import io, sys\n"
            "class Stream(io.TextIOWrapper): pass\n"
            "sys.stdout = Stream(sys.stdout.buffer, encoding=sys.stdout.encoding, "
            "errors=sys.stdout.errors, newline='\\n'); "
            "from varnok.workers.shell_worker import main; main()")
WORKERS = {
    "module": [sys.executable, "-c", "from varnok.workers.shell_worker import main; main()"],
    "old path": [sys.executable, "-c", OLD_PATH],
    "baseline": [sys.executable, "-c", "from baseline_worker import main; main()"],
    "echo": [sys.executable, "-c", "from echo_worker import main; main()"],
}
# Both sides get the same environment, so both pay for the same import path.
WORKER_ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    filter(None, [str(BENCH_DIR), os.environ.get("PYTHONPATH")]))}
QUIT = b'{"action": "quit"}\n'
ROUND_TRIP_REQUESTS = 1000


def start_worker(side: str, bufsize: int = -1) -> subprocess.Popen:
    command = [str(built("lockstep_worker"))] if side == "C" else WORKERS[side]
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=WORKER_ENV, bufsize=bufsize)


def quit_worker(worker: subprocess.Popen, side: str, digest: "hashlib._Hash") -> None:
    worker.stdin.write(QUIT)
    worker.stdin.close()
    digest.update(worker.stdout.read())
    if worker.wait() != 0:
        raise SystemExit(f"the {side} worker failed with status {worker.returncode}")


def round_trip(side: str, request: bytes = b'{"command": "true"}\n') -> tuple[float, str]:
    """Seconds per request of a running worker that answers ROUND_TRIP_REQUESTS
    copies of `request` in lock-step (its start-up left out: one request
    answered first), and a digest of all responses."""
    digest = hashlib.sha256()
    worker = start_worker(side)
    worker.stdin.write(request)
    worker.stdin.flush()
    digest.update(worker.stdout.readline())
    start = perf_counter()
    for _ in range(ROUND_TRIP_REQUESTS):
        worker.stdin.write(request)
        worker.stdin.flush()
        digest.update(worker.stdout.readline())
    seconds = perf_counter() - start
    quit_worker(worker, side, digest)
    return seconds / ROUND_TRIP_REQUESTS, digest.hexdigest()


def spawn_floor(commands: int = ROUND_TRIP_REQUESTS) -> Callable[[], float]:
    """A sampler of bench/spawn_floor.c's seconds per command over `commands`
    commands, the program built here."""
    program = built("spawn_floor")
    return lambda: float(subprocess.run([str(program), str(commands)], check=True,
                                        capture_output=True, text=True).stdout) / US


def peak_rss(side: str, request: bytes) -> tuple[float, str]:
    """Peak resident size in MiB of a worker once it has answered `request`,
    and a digest of the answer.  The peak is the worker's own high-water mark
    (VmHWM), read before it quits: the rusage of a child would also count the
    size of this process, which it was a copy of until it started Python."""
    worker = start_worker(side)
    worker.stdin.write(request)
    worker.stdin.flush()
    digest = hashlib.sha256()
    while True:
        chunk = worker.stdout.readline(MIB)
        digest.update(chunk)
        if not chunk or chunk.endswith(b"\n"):
            break
    peak = peak_mib(worker.pid)
    quit_worker(worker, side, digest)
    return peak, digest.hexdigest()


def peak_mib(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024


FLOOD_LIMIT = 0.25
# 200,000,000 bytes stay under the output limit however fast the machine
# reads them, and the sleep outlives the time limit whenever they are done:
# both workers answer with the time-out, during the flood or after it.
FLOOD = "head -c 200000000 /dev/zero; sleep 5"


def flood_lateness(side: str) -> tuple[float, str]:
    """Milliseconds past its limit at which a running worker answers a time-out
    of a command that writes all the time, and a digest of the answer."""
    digest = hashlib.sha256()
    worker = start_worker(side)
    worker.stdin.write(b'{"command": "true"}\n')
    worker.stdin.flush()
    worker.stdout.readline()
    start = perf_counter()
    worker.stdin.write(json.dumps({"command": FLOOD, "timeout": FLOOD_LIMIT}).encode() + b"\n")
    worker.stdin.flush()
    digest.update(worker.stdout.readline())
    late = perf_counter() - start - FLOOD_LIMIT
    quit_worker(worker, side, digest)
    return late * 1e3, digest.hexdigest()


def checked(measure: Callable[[str], tuple[float, str]], side: str,
            expected: str, what: str) -> Callable[[], float]:
    """A sampler that also checks each sample's output against `expected`."""
    def sample() -> float:
        value, digest = measure(side)
        require_identical(what, digest, expected)
        return value
    return sample


def bench_round_trip(settings: Settings) -> list[Row]:
    name = "round trip: 1,000 requests"
    _, expected = round_trip("module")
    require_identical(name, expected, round_trip("baseline")[1])
    # The C worker's fixed answers are the module's to this session, byte for byte.
    require_identical(name, expected, round_trip("C")[1])
    module = checked(round_trip, "module", expected, name)
    versus_worker = paired(module, checked(round_trip, "baseline", expected, name),
                           settings.round_trip_pairs)
    versus_floor = paired(module, spawn_floor(), settings.round_trip_pairs)
    versus_c = paired(module, checked(round_trip, "C", expected, name),
                      settings.round_trip_pairs)
    return [Row(name, "µs/request", versus_worker.scaled(US), "Python worker",
                Target(high=0.85)),
            Row(name, "µs/request", versus_floor.scaled(US), "posix_spawn C loop",
                Target(high=1.15)),
            Row(name, "µs/request", versus_c.scaled(US), "C lock-step worker",
                Target(high=1.10))]


NO_COMMAND = b"{}\n"
NO_COMMAND_SIDES = [("baseline", "Python worker"), ("echo", "Python loop, no JSON"),
                    ("C", "C lock-step worker")]


def bench_round_trip_empty(settings: Settings) -> list[Row]:
    """The round trip with nothing started: what the exchange and the
    worker's per-request layer cost, against workers that do less and less
    of it."""
    name = "round trip: 1,000 {} requests"

    def measure(side: str) -> tuple[float, str]:
        return round_trip(side, NO_COMMAND)

    _, expected = measure("module")
    for side, _ in NO_COMMAND_SIDES:
        require_identical(f"{name} ({side})", expected, measure(side)[1])
    module = checked(measure, "module", expected, name)
    return [Row(name, "µs/request",
                paired(module, checked(measure, side, expected, name),
                       settings.round_trip_pairs).scaled(US),
                described, Target())
            for side, described in NO_COMMAND_SIDES]


def bench_flood(settings: Settings) -> list[Row]:
    name = f"time-out of a 200 MB flood after {FLOOD_LIMIT} s"
    _, expected = flood_lateness("module")
    require_identical(name, expected, flood_lateness("baseline")[1])
    comparison = paired(checked(flood_lateness, "module", expected, name),
                        checked(flood_lateness, "baseline", expected, name),
                        settings.flood_pairs)
    return [Row(name, "ms late", comparison, "Python worker", Target(high=50, of_module=True))]


def bench_memory(settings: Settings) -> list[Row]:
    name = "memory: peak RSS, 64 MiB output"
    command = f"head -c {64 * MIB} /dev/zero | tr '\\0' x"
    request = json.dumps({"command": command}).encode() + b"\n"
    _, expected = peak_rss("module", request)
    require_identical(name, expected, peak_rss("baseline", request)[1])
    comparison = paired(checked(lambda side: peak_rss(side, request), "module", expected, name),
                        checked(lambda side: peak_rss(side, request), "baseline", expected, name),
                        settings.memory_pairs, warmup=0)
    return [Row(name, "MiB", comparison, "Python worker", Target(high=1.0))]


# --- large answers ------------------------------------------------------------

# The default per-stream output limit: this many bytes still come back whole.
OUTPUT_LIMIT = 256 * MIB
TEXT_LINE = b"the quick brown fox jumps over the lazy dog, 0123456789 times\n"
EMOJI = "\N{GRINNING FACE}".encode()


@dataclass
class StreamCase:
    name: str
    request: dict
    output: int  # bytes, all streams and commands together
    peak_mib: float
    seconds: float


def write_file(path: Path, size: int, block: bytes) -> None:
    """`size` bytes of `block` repeated (and cut) into `path`."""
    block *= max(1, MIB // len(block))
    with open(path, "wb") as file:
        while size > 0:
            file.write(block[:size])
            size -= len(block)


def stream_inputs(directory: Path) -> list[StreamCase]:
    """The files that the large answers are made of, written once into
    `directory` so that both paths answer the same bytes, and the cases."""
    text, random, emoji = (directory / name for name in ("text", "random", "emoji"))
    write_file(text, OUTPUT_LIMIT, TEXT_LINE)
    subprocess.run(f"head -c {OUTPUT_LIMIT} /dev/urandom > {shlex.quote(str(random))}",
                   shell=True, check=True)
    half = 64 * MIB  # of the 128 MiB, the emoji counted in
    with open(emoji, "wb") as file, open(text, "rb") as source:
        file.write(source.read(half))
        file.write(EMOJI)
        file.write(source.read(half - len(EMOJI)))
    text, random, emoji = (shlex.quote(str(path)) for path in (text, random, emoji))
    third = 64 * MIB
    timeout = 600  # the commands take well under a second; the answer is timed here
    return [
        StreamCase("256 MiB of text on stdout",
                   {"command": f"cat {text}", "timeout": timeout}, OUTPUT_LIMIT, 368, 3),
        StreamCase("256 MiB of random bytes on stdout",
                   {"command": f"cat {random}", "timeout": timeout}, OUTPUT_LIMIT, 368, 5),
        StreamCase("256 MiB of random bytes on each stream",
                   {"command": f"cat {random}; cat {random} >&2", "timeout": timeout},
                   2 * OUTPUT_LIMIT, 688, 10),
        StreamCase("128 MiB of ASCII with one emoji",
                   {"command": f"cat {emoji}", "timeout": timeout}, 2 * half, 208, 3),
        StreamCase("exec_many, three outputs of 64 MiB",
                   {"action": "exec_many", "timeout": timeout,
                    "commands": [f"head -c {third} {text}", f"head -c {third} {random}",
                                 f"tail -c {third} {random}"]}, 3 * third, 288, 4),
    ]


def read_answer(fd: int, digest: "hashlib._Hash") -> int:
    """Reads one response line from `fd` into `digest` in large chunks, never
    holding the line whole, and gives its size.  In lock-step nothing follows
    the newline."""
    size = 0
    while True:
        chunk = os.read(fd, MIB)
        if not chunk:
            raise SystemExit("the worker ended before it had answered")
        digest.update(chunk)
        size += len(chunk)
        if chunk.endswith(b"\n"):
            return size


def large_answer(side: str, request: bytes, output: int) -> tuple[float, float, str]:
    """A fresh worker's peak resident size in MiB (VmHWM, read after it has
    answered and before it quits) and the seconds from sending `request` to
    having read the whole response line, with the line's digest.  The worker
    answers a {} first, so its start-up is not timed.

    The line must be at least `output` bytes long, the size of what the
    command wrote: escaping never makes text shorter, and a refusal or an
    error is far shorter, which both paths could otherwise agree on."""
    worker = start_worker(side, bufsize=0)
    fd = worker.stdout.fileno()
    worker.stdin.write(NO_COMMAND)
    read_answer(fd, hashlib.sha256())
    digest = hashlib.sha256()
    start = perf_counter()
    worker.stdin.write(request)
    size = read_answer(fd, digest)
    seconds = perf_counter() - start
    if size < output:
        raise SystemExit(f"the {side} worker answered {size:,} bytes for an output of {output:,}")
    peak = peak_mib(worker.pid)
    quit_worker(worker, side, hashlib.sha256())
    return peak, seconds, digest.hexdigest()


def bench_stream(settings: Settings) -> list[Row]:
    """Large answers, each from a fresh worker: the module against itself on
    its old response path, for memory and time at once."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench-stream-") as directory:
        for case in stream_inputs(Path(directory)):
            name = f"stream: {case.name}"
            request = json.dumps(case.request).encode() + b"\n"
            _, _, expected = large_answer("module", request, case.output)
            require_identical(name, expected, large_answer("old path", request, case.output)[2])

            def sample(side: str) -> Callable[[], tuple[float, float]]:
                def measure() -> tuple[float, float]:
                    peak, seconds, digest = large_answer(side, request, case.output)
                    require_identical(name, digest, expected)
                    return peak, seconds
                return measure

            both = paired(sample("module"), sample("old path"), settings.stream_pairs, warmup=0)
            for index, unit, bound in ((0, "MiB peak", case.peak_mib), (1, "s", case.seconds)):
                comparison = Comparison(Series([v[index] for v in both.module.values]),
                                        Series([v[index] for v in both.baseline.values]))
                rows.append(Row(name, unit, comparison, "old response path",
                                Target(high=bound, of_module=True)))
    return rows


BENCHMARKS = {
    "dispatch": bench_dispatch,
    "main_loop": bench_main_loop,
    "execution": bench_execution,
    "patch_check": bench_patch_check,
    "round_trip": bench_round_trip,
    "round_trip_empty": bench_round_trip_empty,
    "flood": bench_flood,
    "memory": bench_memory,
    "stream": bench_stream,
    "pool": bench_pool,
    "controller_memory": bench_controller_memory,
    "controller_cpu": bench_controller_cpu,
}


def machine() -> str:
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    return (f"{platform.python_implementation()} {platform.python_version()} on "
            f"{platform.system()} {platform.release()} {platform.machine()}, "
            f"{os.cpu_count()} CPUs ({cpu})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few samples: checks that everything runs, figures are rough")
    parser.add_argument("--only", nargs="+", choices=BENCHMARKS, default=list(BENCHMARKS))
    options = parser.parse_args()
    settings = Settings.quick() if options.quick else Settings()

    print(machine(), file=sys.stderr)
    load_before = os.getloadavg()
    rows = []
    for name in options.only:
        print(f"running {name} ...", file=sys.stderr)
        rows += BENCHMARKS[name](settings)
    load_after = os.getloadavg()
    print(harness.table(rows))
    print(f"\n{machine()}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after")


if __name__ == "__main__":
    main()
