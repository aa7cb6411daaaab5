"""A worker whose machinery is the host's and its own writes each response straight from the
command's bytes: the same bytes as json.dumps of what subprocess would give, sent through
sys.stdout.write, under every locale, for every kind of output, wherever the pieces it
decodes and writes happen to end.  Anything replaced, or anything watching the calls, gets
the plain way, and a reader that goes away ends the worker as it always did."""
import json
import os
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

FAST = [sys.executable, "-c", "from varnok.workers.shell_worker import main; main()"]
# The same standard output, as an equal text stream over the same binary layer, of a class
# that is not io's own: the main loop takes the plain way.
REPLACED_STDOUT = """
import io, sys
class Stream(io.TextIOWrapper):
    pass
own = sys.stdout
sys.stdout = Stream(own.buffer, encoding=own.encoding, errors=own.errors,
                    newline="\\n", line_buffering=own.line_buffering,
                    write_through=own.write_through)
"""
# The same, of io's own class: nothing about it differs from the process's own stream.
EQUAL_STDOUT = REPLACED_STDOUT.replace("Stream(own", "io.TextIOWrapper(own")
PLAIN = [sys.executable, "-c",
         REPLACED_STDOUT + "from varnok.workers.shell_worker import main; main()"]

LOCALES = {
    "utf-8 locale": {"LC_ALL": "C.UTF-8", "PYTHONUTF8": "0"},
    "C locale": {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"},
    "utf-8 mode": {"LC_ALL": "C", "PYTHONUTF8": "1"},
}

MIXED = (r"printf 'a\377b\r\nc\rd\r\r\n\303\251\342\202\254\360\237\230\200'; "
         r"printf '\000\001\037\177 \"\\ /\t\b\f'; printf '\355\240\200\300\200\360\237\230'")
CASES = [
    {"command": MIXED + "; exit 3"},
    {"command": f"{{ {MIXED}; }} >&2; exit 1"},
    {"command": "printf 'ends in CR\\r'; printf 'x\\r' >&2"},
    {"command": "printf ''"},
    # Escapes across the pieces the worker decodes (16 KiB) and writes (64 KiB).
    {"command": r"for i in $(seq 3000); do printf '\342\202\254\r\n\377\360\237\230\200'; done"},
    {"command": r"head -c 300000 /dev/zero | tr '\000' '\377'; exit 2"},
    {"action": "exec_many", "commands": [MIXED, "printf 'e\\376' >&2; exit 4", "true"]},
    {"action": "exec_many", "commands": []},
    {"command": "sleep 5", "timeout": 0.1},
    {"command": "true", "cwd": "/nonexistent"},
    {}, {"action": 1.5},
]


def answers(argv, requests, env=None, **options):
    lines = "".join(json.dumps(request) + "\n" for request in requests).encode()
    done = subprocess.run(argv, input=lines, capture_output=True, timeout=120,
                          env={**os.environ, **(env or {})}, **options)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.mark.parametrize("locale", LOCALES)
def test_streamed_answers_are_the_plain_answers_under_every_locale(locale):
    streamed = answers(FAST, CASES, LOCALES[locale])
    assert streamed == answers(PLAIN, CASES, LOCALES[locale])
    assert streamed.count(b"\n") == len(CASES) and streamed.isascii()


def expected_answer(data: bytes, returncode: int) -> bytes:
    """json.dumps of what subprocess gives for `data` on both streams, in a UTF-8 locale."""
    text = data.decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "\n")
    result = {"stdout": text, "stderr": text, "returncode": returncode}
    return (json.dumps({"success": False, "result": result, "error": text}) + "\n").encode()


class Exchange:
    """A worker kept running across examples, asked one request at a time."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env={**os.environ, **LOCALES["utf-8 locale"]})

    def ask(self, request) -> bytes:
        self.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.process.stdin.flush()
        return self.process.stdout.readline()

    def close(self):
        self.process.stdin.close()
        assert self.process.wait(60) == 0


@pytest.fixture(scope="module")
def workers():
    fast, plain = Exchange(FAST), Exchange(PLAIN)
    yield fast, plain
    fast.close()
    plain.close()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=40) | st.lists(st.sampled_from(
           [b"\r", b"\n", b"\r\n", b"\xe2\x82", b"\xac", b"\xf0\x9f\x98", b"\x80", b"\xff",
            b"\xed\xa0\x80", b"a", b"\x00", b"\x7f", b'"\\']), max_size=12).map(b"".join),
       offset=st.integers(0, 6), pieces=st.integers(1, 2))
def test_pieces_cut_anywhere_decode_as_the_whole(workers, tmp_path_factory, data, offset,
                                                  pieces):
    # The drawn bytes straddle the end of the first or second 16 KiB piece by `offset`.
    content = b"a" * (pieces * 16384 - offset) + data
    path = tmp_path_factory.mktemp("out") / "data"
    path.write_bytes(content)
    request = {"command": f"cat {path}; cat {path} >&2; exit 1"}
    fast, plain = workers
    streamed = fast.ask(request)
    assert streamed == expected_answer(content, 1)
    assert streamed == plain.ask(request)


# --- which way a response takes ---------------------------------------------------------

# A run of main in a fresh interpreter, `setup` done first, with tracemalloc counting what
# the host allocates: the plain way holds the output as text several times over (its str,
# json.dumps's line, the encoded line), the streamed way holds none of it in the host's
# memory (the bytes are the executor's own, the pieces small).
TRACED = """
import json, sys, tracemalloc
import varnok.workers.shell_worker as sw
{setup}
tracemalloc.start()
sw.main()
sys.stderr.write(f"peak {{tracemalloc.get_traced_memory()[1]}}\\n")
"""
FOUR_MB = {"command": r"head -c 4000000 /dev/zero | tr '\000' '\377'; exit 1"}

SETUPS = {
    "nothing replaced": ("", True),
    "sys.stdout": (REPLACED_STDOUT, False),
    "sys.stdout, of io's own class": (EQUAL_STDOUT, True),
    "json.dumps": ("dumps = json.dumps\njson.dumps = lambda *a, **k: dumps(*a, **k)", False),
    "handle_command": ("handle = sw.handle_command\nsw.handle_command = lambda c: handle(c)",
                       False),
    "execute_command": ("run = sw.execute_command\nsw.execute_command = lambda *a: run(*a)",
                        False),
    "the default encoder's separators": ("json._default_encoder.item_separator = ','", False),
    "a profiler": ("sys.setprofile(lambda *_: None)", False),
    "a tracer": ("sys.settrace(lambda *_: None)", False),
    "a monitoring tool": ("sys.monitoring.use_tool_id(3, 'probe')", False),
    "stdout reconfigured": ("sys.stdout.reconfigure(newline='\\r\\n')", True),
}


@pytest.mark.parametrize("replaced", SETUPS)
def test_anything_replaced_or_watching_takes_the_plain_way(replaced):
    setup, streamed = SETUPS[replaced]
    done = subprocess.run([sys.executable, "-c", TRACED.format(setup=setup)],
                          input=(json.dumps(FOUR_MB) + "\n{}\n").encode(), capture_output=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    peak = int(done.stderr.decode().rpartition("peak ")[2])
    assert (peak < 8_000_000) == streamed, peak
    # Whichever way it went, the bytes are json.dumps's, through the text stream.
    newline = b"\r\n" if "reconfigured" in replaced else b"\n"
    separators = (",", ": ") if "separators" in replaced else (", ", ": ")
    text = "\ufffd" * 4_000_000
    first = json.dumps({"success": False, "result": {"stdout": text, "stderr": "",
                                                     "returncode": 1}, "error": ""},
                       separators=separators)
    second = json.dumps({"success": False, "error": "No command provided"},
                        separators=separators)
    assert done.stdout == first.encode() + newline + second.encode() + newline


@pytest.mark.parametrize("size", [100, 3_000_000], ids=["small", "large"])
def test_a_reader_that_goes_away_ends_the_worker_as_before(size):
    def ended(argv):
        worker = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        worker.stdout.close()
        worker.stdin.write(json.dumps({"command": f"head -c {size} /dev/zero"}).encode() + b"\n")
        worker.stdin.close()
        # The two programs differ in length: the line of their own frame says so.
        return worker.wait(60), re.sub(rb'"<string>", line \d+', b"", worker.stderr.read())

    status, stderr = ended(FAST)
    assert (status, stderr) == ended(PLAIN)
    assert status == 1 and stderr.endswith(b"BrokenPipeError: [Errno 32] Broken pipe\n")


# --- the output limit ---------------------------------------------------------------------

SCRIPT = os.path.join(os.path.dirname(sys.executable), "varnok-shell-worker")


@pytest.mark.parametrize("size, redirect, expected", [
    (1_048_576, "", None),
    (1_048_577, "", "stdout"),
    (1_048_576, " >&2", None),
    (1_048_577, " >&2", "stderr"),
])
def test_output_limit_keeps_exactly_its_bytes(size, redirect, expected):
    request = {"command": f"head -c {size} /dev/zero | tr '\\000' x{redirect}"}
    answer = json.loads(answers([SCRIPT, "--output-limit", "1M"], [request]))
    if expected is None:
        stream = "stderr" if redirect else "stdout"
        assert len(answer["result"][stream]) == size and answer["result"]["returncode"] == 0
    else:
        message = f"Command output exceeded 1048576 bytes on {expected}"
        assert answer == {"success": False, "error": message,
                          "result": {"stdout": "", "stderr": message, "returncode": -1}}


@pytest.mark.parametrize("arguments, size, within", [
    (["--output-limit", "0"], 1, False),
    (["--output-limit=64K"], 65_536, True),
    (["--output-limit", "2G"], 3_000_000, True),
    (["--output-limit", "10", "--output-limit", "20"], 20, True),  # the last one holds
])
def test_output_limit_sizes(arguments, size, within):
    request = {"command": f"head -c {size} /dev/zero"}
    answer = json.loads(answers([SCRIPT, *arguments], [request]))
    assert (answer["result"]["returncode"] == 0) == within


@pytest.mark.parametrize("value, error", [
    (None, "argument --output-limit: expected one argument"),
    ("", "invalid size: ''"),
    ("x", "invalid size: 'x'"),
    ("1.5M", "invalid size: '1.5M'"),
    ("-1", "invalid size: '-1'"),
    ("1m", "invalid size: '1m'"),
    ("1T", "invalid size: '1T'"),
    ("262145G", "'262145G' is more than 262144G"),
])
def test_a_bad_output_limit_gets_the_usage_and_one_line(value, error):
    arguments = ["--output-limit"] + ([] if value is None else [value])
    done = subprocess.run([SCRIPT, *arguments], input=b"{}\n", capture_output=True, timeout=60)
    lines = done.stderr.decode().splitlines()
    assert (done.returncode, done.stdout, len(lines)) == (2, b"", 2)
    assert lines[0].startswith("usage: varnok-shell-worker ")
    assert lines[1].startswith("varnok-shell-worker: error: ") and error in lines[1]


@pytest.mark.parametrize("value", [-1, 2 ** 48 + 1, "1M", 1.0, True])
def test_a_bad_setting_in_process_is_the_commands_failure(monkeypatch, value):
    import varnok.workers.shell_worker as sw
    from varnok.workers import shell_worker_settings
    monkeypatch.setattr(shell_worker_settings, "output_limit", value)
    result = sw.execute_command("true")
    assert result == {"stdout": "", "returncode": -1, "stderr": (
        "varnok.workers.shell_worker_settings.output_limit must be an int from 0 to "
        f"{2 ** 48}, not {value!r}")}


CHANGED_MIDWAY = REPLACED_STDOUT.replace("sys.stdout = ", "replaced = ") + """
import sys
def swap(event, args):
    if event == "subprocess.Popen":
        sys.stdout = replaced  # while the commands run: their outputs were kept as bytes
sys.addaudithook(swap)
from varnok.workers.shell_worker import main; main()
"""


def test_outputs_kept_as_bytes_become_text_when_the_way_changes_midway():
    # The main loop found its own way at the start of the request; by its end the response
    # has to go the plain way, and the outputs kept as bytes are turned into text first.
    requests = [{"command": r"printf 'a\377\r\n'; printf 'e\376' >&2; exit 3"},
                {"action": "exec_many", "commands": ["printf x", "printf y >&2"]}]
    done = subprocess.run([sys.executable, "-c", CHANGED_MIDWAY], capture_output=True,
                          input="".join(json.dumps(r) + "\n" for r in requests).encode(),
                          timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout == answers(FAST, requests)
    assert done.stdout.splitlines()[0] == json.dumps({
        "success": False, "result": {"stdout": "a\ufffd\n", "stderr": "e\ufffd", "returncode": 3},
        "error": "e\ufffd"}).encode()
