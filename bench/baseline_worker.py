"""The shell worker as a plain Python script, for comparison only.

The same three callables and the same JSON-lines protocol as the compiled
module, written the way a user would write them without it.  Not shipped in
the package: the benchmark imports it from this directory.

It keeps the module's exact-type checks and their messages, so the work it
does per call matches the module's; the host's own messages for wrong
argument counts and for a timeout that cannot be converted differ.
"""

import json
import os
import signal
import subprocess
import sys


def _type_error(parameter: str, expected: type, value: object) -> TypeError:
    error = TypeError(f"Argument '{parameter}' has incorrect type "
                      f"(expected {expected.__name__}, got {type(value).__name__})")
    if isinstance(value, expected):
        error.add_note(f"the argument check rejects subclasses of built-in types: "
                       f"'{parameter}' must be exactly {expected.__name__}, "
                       f"not {type(value).__name__}")
    return error


def _seconds(timeout: object) -> float:
    # What the module's conversion accepts: real numbers and objects with a
    # float or index conversion, but not text.
    if type(timeout) is float:
        return timeout
    if isinstance(timeout, (str, bytes, bytearray)):
        raise TypeError(f"must be real number, not {type(timeout).__name__}")
    return float(timeout)


def execute_command(command: str, timeout: float = 30.0, cwd: str | None = None) -> dict:
    """Execute a single shell command and return structured output."""
    timeout = _seconds(timeout)
    if type(command) is not str:
        raise _type_error("command", str, command)
    if cwd is not None and type(cwd) is not str:
        raise _type_error("cwd", str, cwd)
    try:
        result = subprocess.run(
            command,
            shell=True,
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=cwd or os.getcwd(),
            env=dict(os.environ),
            # Inheriting the worker's stdin would let a command swallow the
            # requests queued behind its own.
            stdin=subprocess.DEVNULL,
        )
        return {"stdout": result.stdout, "stderr": result.stderr, "returncode": result.returncode}
    except subprocess.TimeoutExpired:
        return {"stdout": "", "stderr": f"Command timed out after {timeout!r}s", "returncode": -1}
    except Exception as e:
        return {"stdout": "", "stderr": str(e), "returncode": -1}


def handle_command(cmd: dict) -> dict:
    """Process a single command and return the response."""
    if type(cmd) is not dict:
        raise _type_error("cmd", dict, cmd)
    action = cmd.get("action", "exec")

    if action == "quit":
        return {"success": True, "result": "goodbye"}

    if action == "exec":
        command = cmd.get("command", "")
        timeout = cmd.get("timeout", 30.0)
        cwd = cmd.get("cwd")
        if not command:
            return {"success": False, "error": "No command provided"}
        result = execute_command(command, timeout, cwd)
        success = result["returncode"] == 0
        return {"success": success, "result": result,
                "error": None if success else result["stderr"]}

    if action == "exec_many":
        commands = cmd.get("commands", [])
        timeout = cmd.get("timeout", 30.0)
        cwd = cmd.get("cwd")
        results = []
        for command in commands:
            result = execute_command(command, timeout, cwd)
            results.append(result)
        all_success = all(r["returncode"] == 0 for r in results)
        return {"success": all_success, "result": results}

    return {"success": False, "error": f"Unknown action: {action}"}


def main() -> None:
    """Main loop: read JSON commands from stdin, write JSON responses to stdout."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            cmd = json.loads(line)
        except json.JSONDecodeError as e:
            response = {"success": False, "error": f"Invalid JSON: {e}"}
            sys.stdout.write(json.dumps(response) + "\n")
            sys.stdout.flush()
            continue
        response = handle_command(cmd)
        sys.stdout.write(json.dumps(response) + "\n")
        sys.stdout.flush()
        if cmd.get("action") == "quit":
            break


if __name__ == "__main__":
    main()
