// The worker's settings that lie outside its protocol.  The module's
// attribute map has no name for them: the console script's options, or a
// caller in process, set them in the small pure-Python module
// varnok.workers.shell_worker_settings, and the executor reads them there at
// every command, once that module has been imported.
#pragma once

#include <Python.h>

#include <stddef.h>

namespace shell_worker {

// The largest output limit accepted: 2**48 bytes, beyond any memory, so in
// effect none.
constexpr long long most_output_limit = 1LL << 48;

struct WorkerSettings {
    size_t output_limit;        // per stream (default 256 MiB)
    bool exit_with_controller;  // end the command and the worker when nobody can read stdout
};

// The settings in force: the settings module's where it has been imported,
// else the defaults.  False with a ValueError set for a value out of its
// range or of another type.
bool read_worker_settings(WorkerSettings& settings) noexcept;

}  // namespace shell_worker
