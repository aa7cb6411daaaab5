"""Module creation and initialisation, each case in a fresh interpreter."""
import importlib.util
import re
import subprocess
import sys

import pytest

from conftest import ON_312, VERSION_WARNING, run_python

DOC = (
    "Shell Worker \u2014 executes shell commands in a subprocess.\n\n"
    "Protocol: reads JSON commands from stdin, writes JSON results to stdout.\n"
    "Each command is a single line of JSON, each response is a single line of JSON.\n\n"
    "Command format:\n"
    '  {"action": "exec", "command": "ls -la", "timeout": 30, "cwd": "/tmp"}\n'
    '  {"action": "exec_many", "commands": ["cmd1", "cmd2"], "timeout": 30}\n'
    '  {"action": "quit"}\n\n'
    "Response format:\n"
    '  {"success": true, "result": {"stdout": "...", "stderr": "...", "returncode": 0}}\n'
    '  {"success": false, "error": "..."}\n'
)
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded "
                      "into one interpreter per process.")

# Drives the module's own definition as an embedding host would, so that the
# spec can carry any name and any set of attributes.
BY_DEFINITION = """
import ctypes, importlib.util, sys, types
library = ctypes.PyDLL(importlib.util.find_spec("varnok.workers.shell_worker").origin)
library.PyInit_shell_worker.restype = ctypes.c_void_p
definition = library.PyInit_shell_worker()
api = ctypes.pythonapi
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
def load(**spec):
    module = api.PyModule_FromDefAndSpec2(definition, types.SimpleNamespace(**spec), 1013)
    api.PyModule_ExecDef(module, definition)
    return module
"""


def python(code, **options):
    done = run_python(code, **options)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_plain_import_binds_the_globals_and_runs_nothing():
    out = python("""
        import varnok.workers.shell_worker as sw, builtins, json, os, subprocess, sys, signal
        print(sorted(vars(sw)))
        print(all(getattr(sw, m.__name__) is m for m in (json, os, subprocess, sys, signal)))
        print(sw.__builtins__ is builtins, sw.__test__ == {}, sw.__doc__.encode() == %r)
        print(sys.modules["varnok.workers.shell_worker"] is sw, sw.__name__, sw.__package__)
    """ % DOC.encode(), input="{}\n")
    assert out.splitlines() == [
        "['__builtins__', '__doc__', '__file__', '__loader__', '__name__', '__package__', "
        "'__spec__', '__test__', 'execute_command', 'handle_command', 'json', 'main', 'os', "
        "'signal', 'subprocess', 'sys']",
        "True", "True True True", "True varnok.workers.shell_worker varnok.workers"]


def test_importing_again_and_reloading_rebind_nothing():
    out = python("""
        import importlib, sys
        import varnok.workers.shell_worker as sw
        first, main = sw, sw.main
        sw.execute_command = "rebound"
        del sys.modules["varnok.workers.shell_worker"]
        import varnok.workers.shell_worker as sw
        print(sw is first, sw.execute_command, sw.main is main)
        sw.handle_command = "rebound too"
        print(importlib.reload(sw) is first, sw.handle_command)
    """, input="{}\n")
    assert out == "True rebound True\nTrue rebound too\n"


# Loads the module in the main interpreter or in a new subinterpreter, and
# prints how that went: None, or the error as "Type: message".
SUBINTERPRETERS = r"""
import re, sys
if sys.version_info >= (3, 13):
    import _interpreters
    def run_in(where, code):
        # 3.13 hands a failure back as a description.
        failure = _interpreters.run_string(_interpreters.create(where), code)
        return failure and failure.formatted
else:
    import _xxsubinterpreters
    def run_in(where, code):
        # 3.12 raises it, its text naming the class as "<class 'Type'>".
        try:
            _xxsubinterpreters.run_string(
                _xxsubinterpreters.create(isolated=where == "isolated"), code)
        except _xxsubinterpreters.RunFailedError as failure:
            return re.sub(r"^<class '(\w+)'>", r"\1", str(failure))
def load(where):
    if where != "main":
        return run_in(where, "import varnok.workers.shell_worker")
    try:
        import varnok.workers.shell_worker
    except ImportError as failure:
        return f"{type(failure).__name__}: {failure}"
"""


@pytest.mark.parametrize("first, second, expected", [
    ("main", "legacy", [None, "ImportError: " + INTERPRETER_CHANGE]),
    ("legacy", "main", [None, "ImportError: " + INTERPRETER_CHANGE]),
    # An isolated interpreter refuses the module before its create slot runs,
    # so the refusal claims nothing and the main interpreter may load it after.
    ("isolated", "main",
     ["ImportError: module varnok.workers.shell_worker does not support loading in "
      "subinterpreters", None]),
])
def test_one_interpreter_per_process(first, second, expected):
    out = python(SUBINTERPRETERS + f"""
print(load({first!r}))
print(load({second!r}))
""")
    assert out.splitlines() == [str(line) for line in expected]


def test_failed_initialisation_can_be_retried():
    out = python("""
        import sys, traceback
        sys.modules["json"] = None
        try:
            import varnok.workers.shell_worker
        except ImportError as error:
            print(error)
            print([f.name for f in traceback.extract_tb(error.__traceback__)
                   if f.filename == "varnok/workers/shell_worker"])
        print("varnok.workers.shell_worker" in sys.modules)
        del sys.modules["json"]
        import varnok.workers.shell_worker as sw
        print(sw.handle_command({}))
    """)
    assert out.splitlines() == [
        "import of json halted; None in sys.modules", "['init varnok.workers.shell_worker']",
        "False", "{'success': False, 'error': 'No command provided'}"]


# Py_Version is a constant of the running host: to see the check fire on this
# 3.12 host, the test makes its page writable and claims 3.13.
CLAIM_313 = """
import ctypes, mmap
version = ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version")
page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
assert ctypes.CDLL(None).mprotect(ctypes.c_void_p(page), mmap.PAGESIZE, 3) == 0
version.value = 0x030D00F0
"""
VERSION_MESSAGE = ("compile time Python version 3.12 of module 'varnok.workers.shell_worker' "
                   "does not match runtime version 3.13")


@pytest.mark.parametrize("action, expected", [
    ("always", f'imported, warned: ["{VERSION_MESSAGE}"]'),
    ("error", f"refused: {VERSION_MESSAGE}"),
])
def test_version_mismatch_warns(action, expected):
    out = python(CLAIM_313 + f"""
import warnings
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter({action!r})
    try:
        import varnok.workers.shell_worker
        print("imported, warned:", [str(w.message) for w in seen])
    except RuntimeWarning as error:
        print("refused:", error)
""")
    assert out == expected + "\n"


@pytest.mark.parametrize("obstacle, cleared", [
    # A host other than 3.12, with warnings made errors: the version check refuses.
    (CLAIM_313 + "import warnings\nwarnings.simplefilter('error')\n",
     "warnings.simplefilter('ignore')\n"),
    # A host module that cannot be imported, after the module has put itself in sys.modules.
    ("sys.modules['json'] = None\n", "del sys.modules['json']\n"),
], ids=["version-warning-as-error", "host-module-missing"])
def test_a_failed_load_under_another_name_leaves_no_module_behind(obstacle, cleared):
    out = python(BY_DEFINITION + "import sys\n" + obstacle + """
try:
    load(name="other", loader=None, parent="")
except Exception as error:
    print(type(error).__name__)
print("varnok.workers.shell_worker" in sys.modules)
""" + cleared + """
import varnok.workers.shell_worker as sw
print(sw.handle_command({}))
""")
    assert out.splitlines()[1:] == ["False", "{'success': False, 'error': 'No command provided'}"]


# The same check for real, on a host that is not 3.12: a plain import, one
# that shows every warning however often it comes, and one that makes
# warnings errors.
WARNED = r"[^\n]*: RuntimeWarning: %s\n" % re.escape(VERSION_WARNING)
REFUSED = r"Traceback \(most recent call last\):\n(?:.*\n)*RuntimeWarning: %s\n" % re.escape(
    VERSION_WARNING)


@pytest.mark.skipif(ON_312, reason="the module warns on hosts other than 3.12")
@pytest.mark.parametrize("options, returncode, stdout, stderr", [
    ([], 0, "{'success': True, 'result': 'goodbye'}\n", WARNED),
    (["-W", "always"], 0, "{'success': True, 'result': 'goodbye'}\n", WARNED),
    (["-W", "error"], 1, "", REFUSED),
])
def test_import_on_another_host(options, returncode, stdout, stderr):
    done = subprocess.run(
        [sys.executable, *options, "-c",
         "import varnok.workers.shell_worker as sw; print(sw.handle_command({'action': 'quit'}))"],
        capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (returncode, stdout), done.stderr
    assert re.fullmatch(stderr, done.stderr), done.stderr


@pytest.mark.parametrize("spec, expected", [
    ("name='custom', loader=None, parent=''", "custom None  no file no path"),
    ("name='custom', loader='L', origin='/o', parent='p', submodule_search_locations=None",
     "custom L p /o no path"),
    ("name='custom', loader='L', origin=None, parent='p', submodule_search_locations=['d']",
     "custom L p None ['d']"),
])
def test_spec_attributes_are_copied(spec, expected):
    out = python(BY_DEFINITION + f"""
m = load({spec})
print(m.__name__, m.__loader__, m.__package__, getattr(m, "__file__", "no file"),
      getattr(m, "__path__", "no path"))
""")
    assert out == expected + "\n"


@pytest.mark.parametrize("lines, expected", [
    ('{}\n{"action": "quit"}\n{}\n',
     '{"success": false, "error": "No command provided"}\n{"success": true, "result": "goodbye"}\n'
     "after main\n"),
    ("[]\n", "TypeError ['init varnok.workers.shell_worker', 'varnok.workers.shell_worker.main']\n"),
])
def test_loaded_as_the_main_program_it_runs_main(lines, expected):
    out = python(BY_DEFINITION + """
import traceback
try:
    load(name='__main__')
    print('after main')
except TypeError as error:
    print("TypeError", [f.name for f in traceback.extract_tb(error.__traceback__)
                        if f.filename == "varnok/workers/shell_worker"])
""", input=lines)
    assert out == expected


def test_exec_slot_refuses_a_second_module_object():
    out = python(BY_DEFINITION + """
first = load(name='custom')
print(load(name='again') is first)
try:
    api.PyModule_ExecDef(types.ModuleType("other"), definition)
except RuntimeError as error:
    print(error)
""")
    assert out == ("True\nModule 'shell_worker' has already been imported. "
                   "Re-initialisation is not supported.\n")


def test_only_the_init_function_is_exported():
    library = importlib.util.find_spec("varnok.workers.shell_worker").origin
    symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True,
                             text=True, check=True).stdout
    assert [line.split()[-1] for line in symbols.splitlines()] == ["PyInit_shell_worker"]
