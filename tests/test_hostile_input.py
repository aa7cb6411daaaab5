"""Hostile input: whatever arrives, the worker answers one line with one whole
ASCII line, or ends the documented way (a traceback, a non-zero exit); never a
signal death, a hang, a partial line or a second line.

Only commands from a harmless set ever reach the shell: members that are
strings and could be run ("command", the elements or keys of "commands") are
drawn from it, and every other member is arbitrary.
"""
import json
import os
import select
import shlex
import subprocess
import time
import traceback
import types

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import WORKER, after_version_warning
from varnok.workers import shell_worker as sw

SENTINEL, SENTINEL_ANSWER = b'{"action": "exec_many"}', b'{"success": true, "result": []}'
SHAPES = [["success", "result"], ["success", "error"], ["success", "result", "error"]]

scalars = st.none() | st.booleans() | st.integers() | st.floats() | st.text()
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                           | st.dictionaries(st.text(max_size=5), inner, max_size=3), max_leaves=8)
not_text = json_values.filter(lambda value: not isinstance(value, str))
safe_commands = (
    st.sampled_from(["true", "false", "exit 3", ":", "", " ", "kill -9 $$", "echo é😀 >&2",
                     "printf '\\377'", "printf 'a\\nb\\tc\\r'", "echo a\0b", "echo \ud800",
                     "echo \udcff", "echo " + "x" * 200_000, "exit 300"])
    | st.text(max_size=30).map(lambda text: "printf %s " + shlex.quote(text)))
requests = st.fixed_dictionaries({}, optional={
    "action": st.sampled_from(["exec", "exec_many", "quit", "EXEC", " exec"]) | json_values,
    "command": safe_commands | not_text,
    "commands": st.lists(safe_commands | not_text, max_size=3) | not_text
    | st.text(" :", max_size=3) | st.dictionaries(safe_commands, json_values, max_size=2),
    "timeout": st.floats(0, 5) | st.integers(-1, 5) | json_values,
    "cwd": st.sampled_from(["", "/", ".", "/nonexistent"]) | json_values,
    "other": json_values,
})
# Nesting deeper than json.dumps or the decoder will go, as raw text: alone
# or as the value of one member.
deep = st.builds(lambda depth, key: (("{%s: %s}" % (json.dumps(key), "[" * depth + "]" * depth))
                                     if key else "[" * depth + "]" * depth).encode(),
                 st.integers(1, 100_000), st.sampled_from(["", "action", "command", "commands",
                                                           "timeout", "cwd", "other"]))


def request_line(request, ensure_ascii):
    return json.dumps(request, ensure_ascii=ensure_ascii).encode("utf-8", "surrogatepass")


def expectation(line):
    """What the worker must do with `line`, read as it reads its standard input."""
    text = line.decode("utf-8", "surrogateescape").strip()
    if not text:
        return "nothing"
    try:
        decoded = json.loads(text)
    except json.JSONDecodeError:
        return "invalid"
    except RecursionError:  # this process may run out of depth sooner than the worker
        return "answer-or-end"
    if not isinstance(decoded, dict):
        return "end"
    return "quit" if decoded.get("action") == "quit" else "answer-or-end"


class DrivenWorker:
    """A worker process read with a deadline, started anew after it ends."""
    process = None

    def line(self):
        """The next whole output line, or None when the output ended between lines."""
        end = time.monotonic() + 60
        while b"\n" not in self.pending:
            assert select.select([self.process.stdout], [], [], max(0, end - time.monotonic()))[0], \
                "the worker hung"
            chunk = os.read(self.process.stdout.fileno(), 1 << 20)
            if not chunk:
                assert not self.pending, f"partial line {self.pending[:200]!r}"
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line

    def ended(self):
        err = self.process.communicate(timeout=60)[1]
        code, self.process = self.process.returncode, None
        return code, err

    def exchange(self, line):
        """Sends `line` with a sentinel request behind it, whose answer must come next."""
        if self.process is None:
            self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE)
            self.pending = b""
        try:
            self.process.stdin.write(line + b"\n" + SENTINEL + b"\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass  # it ended on `line`: judged below
        expect = expectation(line)
        answer = None if expect == "nothing" else self.line()
        if answer is None and expect != "nothing":
            assert expect in ("end", "answer-or-end"), f"no answer to {line[:200]!r}"
            code, err = self.ended()
            assert code > 0 and after_version_warning(err).startswith(b"Traceback"), \
                (code, err[-2000:])
            return
        assert expect != "end", f"answered {answer[:200]!r}, expected the worker to end"
        if answer is not None:
            response = json.loads(answer)
            assert answer.isascii() and list(response) in SHAPES, answer[:200]
            assert isinstance(response["success"], bool)
            assert expect != "invalid" or response["error"].startswith("Invalid JSON: ")
        if expect == "quit":
            assert answer == b'{"success": true, "result": "goodbye"}'
            assert self.line() is None
            code, err = self.ended()
            assert (code, after_version_warning(err)) == (0, b"")
        else:
            assert self.line() == SENTINEL_ANSWER, "not exactly one line for one request"

    def stop(self):
        if self.process is not None:
            self.process.kill()
            self.ended()


def drive(lines):
    worker = DrivenWorker()

    @settings(max_examples=150, deadline=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(lines)
    def property_(line):
        try:
            worker.exchange(line)
        except BaseException:
            worker.stop()  # the next example starts with a fresh worker
            raise

    try:
        property_()
    finally:
        worker.stop()


def mangled(line, at, junk):
    """`line` with `junk` in place of a part of it: nearly JSON, so the decoder works harder."""
    at %= len(line) + 1
    return (line[:at] + junk + line[at + len(junk) // 2:]).replace(b"\n", b"")


def test_worker_survives_arbitrary_text():
    drive(st.binary(max_size=300).map(lambda data: data.replace(b"\n", b""))
          | st.text(max_size=300).map(lambda text: text.replace("\n", "").encode(
              "utf-8", "surrogatepass"))
          | st.builds(mangled, st.builds(request_line, requests, st.booleans()), st.integers(),
                      st.binary(max_size=4)))


def test_worker_survives_arbitrary_requests():
    drive(st.builds(request_line, requests, st.booleans())
          | json_values.map(lambda value: json.dumps(value).encode()) | deep)


outcomes = st.builds(types.SimpleNamespace, stdout=st.text(), stderr=st.text(),
                     returncode=st.integers() | json_values) \
    | st.sampled_from([lambda: subprocess.TimeoutExpired("x", 1), lambda: OSError(2, "missing")])
python_values = json_values | st.binary() | st.tuples(json_values) | st.frozensets(st.integers()) \
    | st.builds(object) | st.sampled_from([float("nan"), 10**400, type, sw])


def expected_response(request):
    """The whole response where it follows from the request alone; "unknown" or None otherwise."""
    action = request.get("action", "exec")
    if not (isinstance(action, str) and action in ("quit", "exec", "exec_many")):
        return "unknown"
    if action == "quit":
        return {"success": True, "result": "goodbye"}
    if action == "exec" and not request.get("command", ""):
        return {"success": False, "error": "No command provided"}
    return None


# Each example binds its own fake; monkeypatch restores the real module once, at the end.
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(request=st.dictionaries(st.sampled_from(["action", "command", "commands", "timeout",
                                                "cwd", "other"]),
                               python_values | safe_commands, max_size=5),
       outcome=outcomes)
def test_handle_command_in_process_with_arbitrary_dicts(monkeypatch, request, outcome):
    def run(command, **options):
        if callable(outcome):
            raise outcome()
        return outcome
    monkeypatch.setattr(sw, "subprocess", types.SimpleNamespace(
        run=run, TimeoutExpired=subprocess.TimeoutExpired, DEVNULL=subprocess.DEVNULL))
    expected, snapshot = expected_response(request), repr(request)
    try:
        response = sw.handle_command(request)
    except Exception as error:  # noqa: BLE001 - an ordinary error may pass out, with its entry
        assert not isinstance(expected, dict), f"{error!r} instead of {expected}"
        names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
        assert "varnok.workers.shell_worker.handle_command" in names, names
        return
    finally:
        assert repr(request) == snapshot, "the request was modified"
    text = json.dumps(response)
    assert text.isascii() and "\n" not in text
    assert list(response) in SHAPES and isinstance(response["success"], bool)
    if expected == "unknown":
        assert response["error"].startswith("Unknown action: ")
    elif expected is not None:
        assert response == expected
