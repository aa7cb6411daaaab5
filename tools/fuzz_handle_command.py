"""Coverage-guided fuzzing of handle_command, run by tools/fuzz.

Each input is read as JSON where it can be, otherwise as a request built
member by member.
Commands never reach a shell: `subprocess` is replaced in the module by a
stand-in whose outcome the input also chooses.
"""
import subprocess
import sys
import traceback
import types

import atheris

# The module itself is not instrumented (that needs a compiler with
# libFuzzer's coverage hooks), so the guidance comes from the decoder and
# from the branches of this harness that the input takes.
with atheris.instrument_imports():
    import json
from varnok.workers import shell_worker as sw

MEMBERS = ["action", "command", "commands", "timeout", "cwd"]
OUTCOMES = [types.SimpleNamespace(stdout="out", stderr="err", returncode=0),
            types.SimpleNamespace(stdout="", stderr="err", returncode=1),
            subprocess.TimeoutExpired, OSError]


@atheris.instrument_func
def request_from(data):
    provider = atheris.FuzzedDataProvider(data)
    outcome = OUTCOMES[provider.ConsumeIntInRange(0, len(OUTCOMES) - 1)]
    rest = provider.ConsumeBytes(len(data))
    try:
        request = json.loads(rest.decode("utf-8", "surrogateescape"))
    except (ValueError, RecursionError):
        provider = atheris.FuzzedDataProvider(rest)
        request = {}
        for _ in range(provider.ConsumeIntInRange(0, 5)):
            member = MEMBERS[provider.ConsumeIntInRange(0, len(MEMBERS) - 1)]
            kind = provider.ConsumeIntInRange(0, 4)
            request[member] = [provider.ConsumeUnicode(8), provider.ConsumeInt(8),
                               provider.ConsumeFloat(), None,
                               [provider.ConsumeUnicode(4) for _ in range(kind)]][kind]
    return request, outcome


def run_with(outcome):
    def run(command, **options):
        if isinstance(outcome, type):
            raise outcome(command, options["timeout"])
        return outcome
    return run


@atheris.instrument_func
def test_one_input(data):
    request, outcome = request_from(data)
    if not isinstance(request, dict):
        return
    sw.subprocess = types.SimpleNamespace(run=run_with(outcome), DEVNULL=subprocess.DEVNULL,
                                          TimeoutExpired=subprocess.TimeoutExpired)
    try:
        response = sw.handle_command(request)
    except Exception as error:  # an ordinary error passes out, with the module's entry
        if not any(frame.f_code.co_name.endswith("handle_command")
                   for frame, _ in traceback.walk_tb(error.__traceback__)):
            raise
        return
    text = json.dumps(response)
    if not text.isascii() or "\n" in text or next(iter(response)) != "success":
        raise AssertionError(f"response {text[:200]} for {request!r:.200}")


atheris.Setup(sys.argv, test_one_input)
atheris.Fuzz()
