// The names, keys and fixed texts that the operations look things up by or
// build responses from, and the numbers they need, made once at
// initialisation and never released.  Messages put together from a format
// are written where they are raised.
//
// The texts are interned, and an exact str caches its hash, so a map lookup
// by one of these names never hashes it again.
#pragma once

#include <Python.h>

#include "module_name.hpp"

namespace shell_worker {

// The system shell every command goes to, as subprocess's shell=True has it.
inline constexpr char system_shell[] = "/bin/sh";

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
    X(dunder_test, "__test__")                                              \
    X(dunder_main, "__main__")                                              \
    X(module_name, SHELL_WORKER_FULL_NAME)                                  \
    /* attributes of host objects */                                        \
    X(run, "run")                                                           \
    X(popen, "Popen")                                                       \
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
    X(select, "select")                                                     \
    X(poll, "poll")                                                         \
    X(warn_default_encoding, "warn_default_encoding")                       \
    X(settings_module, SHELL_WORKER_FULL_NAME "_settings")                  \
    X(output_limit, "output_limit")                                         \
    X(exit_with_controller, "exit_with_controller")                         \
    X(buffer, "buffer")                                                     \
    X(encoding, "encoding")                                                 \
    X(decode, "decode")                                                     \
    X(release, "release")                                                   \
    X(dunder_stdout, "__stdout__")                                          \
    X(encoder, "encoder")                                                   \
    X(json_encoder, "JSONEncoder")                                          \
    X(default_encoder, "_default_encoder")                                  \
    X(utf8_mode, "utf8_mode")                                               \
    /* the child the executor starts itself, and its output */              \
    X(bin_sh, system_shell)                                                 \
    X(dash_c, "-c")                                                         \
    X(dev_null, "/dev/null")                                                \
    X(utf_8, "utf-8")                                                       \
    X(carriage_return_line_feed, "\r\n")                                    \
    X(carriage_return, "\r")                                                \
    /* keyword names of the subprocess calls */                             \
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

// field, value
#define SHELL_WORKER_INTEGERS(X)                                            \
    X(zero, 0)                                                              \
    X(minus_one, -1)

// The time limit of a command whose caller gives none, in seconds; the build
// gives it, from the one place that the type stub takes it from too.
constexpr double default_timeout_seconds = SHELL_WORKER_DEFAULT_TIMEOUT;

// field, value
#define SHELL_WORKER_FLOATS(X)                                              \
    X(default_timeout, default_timeout_seconds)

struct Constants {
#define SHELL_WORKER_FIELD(field, literal) PyObject* field = nullptr;
    SHELL_WORKER_TEXTS(SHELL_WORKER_FIELD)
    SHELL_WORKER_INTEGERS(SHELL_WORKER_FIELD)
    SHELL_WORKER_FLOATS(SHELL_WORKER_FIELD)
#undef SHELL_WORKER_FIELD
};

// Filled by make_constants(); read-only afterwards.  Every field is a
// reference owned by the process.
extern Constants k;

// Makes every constant unless an earlier initialisation already did.
// Returns false with an error set.
bool make_constants() noexcept;

}  // namespace shell_worker
