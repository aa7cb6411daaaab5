// Every text and number the module's operations use, made once at
// initialisation and never released.
//
// Texts are interned and carry their hash, so map lookups by these names
// never hash again.
#pragma once

#include <Python.h>

namespace shell_worker {

struct Text {
    PyObject* str = nullptr;  // interned; owned by the process-wide table
    Py_hash_t hash = -1;
    bool module_type_attribute = false;  // the host's module type defines this name
};

// field, literal
#define SHELL_WORKER_TEXTS(X)                                               \
    /* module globals and host modules */                                   \
    X(json, "json")                                                         \
    X(os, "os")                                                             \
    X(subprocess, "subprocess")                                             \
    X(sys, "sys")                                                           \
    X(signal, "signal")                                                     \
    X(execute_command, "execute_command")                                   \
    X(handle_command, "handle_command")                                     \
    X(main, "main")                                                         \
    X(genexpr, "genexpr")                                                   \
    X(dunder_name, "__name__")                                              \
    X(dunder_builtins, "__builtins__")                                      \
    X(dunder_test, "__test__")                                              \
    X(dunder_main, "__main__")                                              \
    X(module_name, "varnok.workers.shell_worker")                           \
    /* attributes of host objects */                                        \
    X(run, "run")                                                           \
    X(timeout_expired, "TimeoutExpired")                                    \
    X(devnull, "DEVNULL")                                                   \
    X(getcwd, "getcwd")                                                     \
    X(environ, "environ")                                                   \
    X(sigint, "SIGINT")                                                     \
    X(sig_ign, "SIG_IGN")                                                   \
    X(stdin_, "stdin")                                                      \
    X(stdout_, "stdout")                                                    \
    X(strip, "strip")                                                       \
    X(loads, "loads")                                                       \
    X(dumps, "dumps")                                                       \
    X(json_decode_error, "JSONDecodeError")                                 \
    X(write, "write")                                                       \
    X(flush, "flush")                                                       \
    X(get, "get")                                                           \
    X(add_note, "add_note")                                                 \
    X(replace, "replace")                                                   \
    X(co_argcount, "co_argcount")                                           \
    X(co_nlocals, "co_nlocals")                                             \
    X(co_varnames, "co_varnames")                                           \
    X(co_flags, "co_flags")                                                 \
    /* keyword names of the subprocess.run call */                          \
    X(shell, "shell")                                                       \
    X(capture_output, "capture_output")                                     \
    X(text, "text")                                                         \
    X(env, "env")                                                           \
    /* request and response keys, parameter and local names */              \
    X(action, "action")                                                     \
    X(command, "command")                                                   \
    X(commands, "commands")                                                 \
    X(timeout, "timeout")                                                   \
    X(cwd, "cwd")                                                           \
    X(cmd, "cmd")                                                           \
    X(success, "success")                                                   \
    X(result, "result")                                                     \
    X(error, "error")                                                       \
    X(stderr_, "stderr")                                                    \
    X(returncode, "returncode")                                             \
    X(e, "e")                                                               \
    X(r, "r")                                                               \
    X(line, "line")                                                         \
    X(response, "response")                                                 \
    X(results, "results")                                                   \
    X(all_success, "all_success")                                           \
    /* actions and fixed response texts */                                  \
    X(exec, "exec")                                                         \
    X(exec_many, "exec_many")                                               \
    X(quit, "quit")                                                         \
    X(goodbye, "goodbye")                                                   \
    X(no_command, "No command provided")                                    \
    X(unknown_action, "Unknown action: ")                                   \
    X(invalid_json, "Invalid JSON: ")                                       \
    X(timed_out_before, "Command timed out after ")                         \
    X(timed_out_after, "s")                                                 \
    X(line_feed, "\n")                                                      \
    X(empty, "")                                                            \
    /* annotations and documentation of the function objects */             \
    X(return_, "return")                                                    \
    X(str_type, "str")                                                      \
    X(float_type, "float")                                                  \
    X(optional_str_type, "str | None")                                      \
    X(dict_type, "dict")                                                    \
    X(execute_command_doc,                                                  \
      "Execute a single shell command and return structured output.")      \
    X(handle_command_doc, "Process a single command and return the response.") \
    X(main_doc,                                                             \
      "Main loop: read JSON commands from stdin, write JSON responses to stdout.")

struct Constants {
#define SHELL_WORKER_FIELD(field, literal) Text field;
    SHELL_WORKER_TEXTS(SHELL_WORKER_FIELD)
#undef SHELL_WORKER_FIELD

    PyObject* default_timeout = nullptr;  // 30.0
    PyObject* zero = nullptr;             // 0
    PyObject* minus_one = nullptr;        // -1
    // ("shell", "capture_output", "text", "timeout", "cwd", "env", "stdin"):
    // the keyword names of the subprocess.run call, in the order passed.
    PyObject* run_keywords = nullptr;

    // str.strip, the method descriptor: the str type cannot be changed, so
    // main strips an exact str through it without looking it up each time.
    PyObject* str_strip = nullptr;

    // handle_command's two fixed responses, keys in wire order; it answers
    // with copies, never with these maps themselves.
    PyObject* quit_response = nullptr;        // {"success": True, "result": "goodbye"}
    PyObject* no_command_response = nullptr;  // {"success": False, "error": "No command provided"}
};

// Filled by make_constants(); read-only afterwards.
extern Constants k;

// Makes every constant unless an earlier initialisation already did.
// Returns false with an error set.
bool make_constants() noexcept;

}  // namespace shell_worker
