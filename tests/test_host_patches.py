"""The module inside someone else's process: whatever the host patched, before the module was
imported or after, and whichever threads it runs, main() answers as the plain worker does.
Each case runs the module's main() and then the plain worker's main() in one interpreter,
over the same requests and with the same patches, and compares what each wrote."""
import ast
import json
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
SEPARATOR = "=== plain ===\n"
BIG = 300_000

REQUESTS = [
    # Larger than the 64 KiB pieces, ending in a non-ASCII character.
    {"command": f"head -c {BIG} /dev/zero | tr '\\000' 'a'; printf '\\303\\251'"},
    {"action": "exec_many", "commands": ["printf 'x\\n'", "printf y >&2; exit 2"]},
    {"command": "printf small"},
]

CHILD = """
import io, json, os, subprocess, sys, threading, tracemalloc
sys.path.insert(0, {bench!r})
record = []
def before_run(): pass
def after_run(): pass
{before}
import varnok.workers.shell_worker as module
import baseline_worker as plain
{after}
text = "".join(json.dumps(r) + "\\n" for r in {requests!r})
peaks = []
for index, worker in enumerate((module, plain)):
    if index:
        sys.stdout.flush()
        os.write(1, {separator!r}.encode())
    before_run()
    sys.stdin = io.StringIO(text)
    tracemalloc.start()
    worker.main()
    peaks.append(tracemalloc.get_traced_memory()[1])
    tracemalloc.stop()
    after_run()
    record.append("end")
sys.stderr.write("\\nREPORT " + repr({{"record": record, "peaks": peaks}}) + "\\n")
"""


def run_both(before: str = "", after: str = "", requests=REQUESTS) -> tuple[bytes, bytes, dict]:
    script = CHILD.format(bench=str(BENCH), before=before, after=after, requests=requests,
                          separator=SEPARATOR)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    # repr, not JSON: the patches may have changed json.dumps.
    report = ast.literal_eval(done.stderr.decode().rpartition("\nREPORT ")[2])
    module_out, _, plain_out = done.stdout.partition(SEPARATOR.encode())
    return module_out, plain_out, report


def halves(record: list) -> tuple[list, list]:
    """What the patches recorded during the module's run and during the plain one's."""
    first = record.index("end")
    return record[:first], record[first + 1:-1]


WRAPPED_DUMPS = """
import functools, json
@functools.wraps(json.dumps)
def dumps(obj, **options):
    return dumps.__wrapped__(obj, sort_keys=True, **options)
json.dumps = dumps
"""
SWAPPED_CODE = """
import json
def dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True, allow_nan=True,
          cls=None, indent=None, separators=None, default=None, sort_keys=False, **kw):
    return JSONEncoder(sort_keys=True).encode(obj)
json.dumps.__code__ = dumps.__code__
"""
STDOUT_WRITE = """
own_write = sys.stdout.write
def write(text):
    record.append(len(text))
    return own_write(text)
sys.stdout.write = write
"""
RUN = """
import subprocess
def run(*args, **kwargs):
    record.append(args[0])
    return subprocess.CompletedProcess(args[0], 0, "run was called\\n", "")
subprocess.run = run
"""
POPEN = """
import subprocess
class Popen(subprocess.Popen):
    def __init__(self, args, *rest, **kwargs):
        record.append(args)
        super().__init__("printf 'Popen was called'", *rest, **kwargs)
subprocess.Popen = Popen
"""

# (patch, made before import / after import)
PATCHES = {
    "json.dumps wrapped with sort_keys": WRAPPED_DUMPS,
    "json.dumps keyword default ensure_ascii": "import json\n"
                                              "json.dumps.__kwdefaults__['ensure_ascii'] = False",
    "json.dumps keyword defaults replaced": "import json\njson.dumps.__kwdefaults__ = "
                                            "{**json.dumps.__kwdefaults__, 'sort_keys': True}",
    "json.dumps code swapped": SWAPPED_CODE,
    "default encoder's item separator": "import json\n"
                                        "json._default_encoder.item_separator = ';'",
    "JSONEncoder's key separator": "import json\njson.JSONEncoder.key_separator = '='",
    "sys.stdout.write wrapped": STDOUT_WRITE,
    "subprocess.run replaced": RUN,
    "subprocess.Popen replaced": POPEN,
}


@pytest.mark.parametrize("when", ["before import", "after import"])
@pytest.mark.parametrize("patch", PATCHES)
def test_a_patch_gets_what_the_plain_worker_gives_it(patch, when):
    code = PATCHES[patch]
    module_out, plain_out, report = run_both(**{"before" if when == "before import" else
                                                "after": code})
    assert module_out == plain_out
    # The patch was in force: the answers are not the unpatched ones.
    unpatched, _, _ = run_both()
    assert module_out != unpatched or patch == "sys.stdout.write wrapped"
    module_calls, plain_calls = halves(report["record"])
    assert module_calls == plain_calls
    if patch == "sys.stdout.write wrapped":
        # One write per answer, the large one whole, as the plain worker writes it.
        assert len(module_calls) == len(REQUESTS) and module_calls[0] > BIG


TEE = """
class Tee:
    def __init__(self, write):
        self.write = write
    def __call__(self, data):
        record.append(len(data.decode("ascii")))  # what a logging tee does with what it gets
        return self.write(data)
sys.stdout.buffer.write = Tee(sys.stdout.buffer.write)
"""
KEEPER = """
class Keeper(io.BufferedIOBase):
    def __init__(self):
        self.kept = []
    def writable(self):
        return True
    def write(self, data):
        self.kept.append(data)  # kept as given, as a test double or a capture may keep it
        return len(data)
sys.stdout = sys.__stdout__ = io.TextIOWrapper(Keeper(), encoding="utf-8", newline="\\n")
def after_run():
    sys.stdout.flush()
    os.write(1, b"".join(bytes(piece) for piece in sys.stdout.buffer.kept))
    sys.stdout.buffer.kept.clear()
"""
SHIFTED = """
sys.stdout.reconfigure(encoding="iso2022_jp")
def before_run():
    sys.stdout.write("\\u65e5")  # leaves the encoder shifted out of ASCII
"""


@pytest.mark.parametrize("layer", [TEE, KEEPER, SHIFTED],
                         ids=["a tee on the binary layer", "a buffer that keeps what it gets",
                              "a stateful encoding left shifted"])
def test_an_answer_in_pieces_needs_io_s_own_layers_and_a_stateless_encoding(layer):
    module_out, plain_out, report = run_both(before=layer)
    assert module_out == plain_out
    assert b"a" * BIG in module_out.replace(b"\x1b(B", b"")
    module_calls, plain_calls = halves(report["record"])
    assert sorted(module_calls) == sorted(plain_calls)


THREAD = """
release = threading.Event()
other = threading.Thread(target=release.wait)
other.start()
"""


@pytest.mark.parametrize("alive", [True, False], ids=["alive", "ended"])
def test_with_another_thread_an_answer_goes_in_one_write(alive):
    # A thread that could print between the pieces: while it lives, the answer goes whole,
    # as the plain worker writes it, and is held whole in memory as the plain worker holds it.
    ending = "" if alive else "release.set()\nother.join()\n"
    module_out, plain_out, report = run_both(before=THREAD + ending,
                                             after="def after_run():\n    release.set()")
    assert module_out == plain_out
    assert (report["peaks"][0] > BIG) == alive


LOGGED_SYS = """
class Logged:
    def __getattr__(self, name):
        record.append(name)
        return getattr(sys, name)
module.sys = plain.sys = Logged()
"""


@pytest.mark.parametrize("requests", [REQUESTS[1:], REQUESTS[:2]], ids=["small", "one large"])
def test_the_main_loop_fetches_its_streams_as_the_protocol_says(requests):
    module_out, plain_out, report = run_both(after=LOGGED_SYS, requests=requests)
    assert module_out == plain_out
    module_calls, plain_calls = halves(report["record"])
    assert module_calls == plain_calls == ["stdin", "stdout", "stdout", "stdout", "stdout"]
