// Where the per-stream output limit comes from.  The module's attribute map
// has no name for it: the console script's --output-limit, or a caller in
// process, sets `output_limit` in the small pure-Python module
// varnok.workers.shell_worker_settings, and the executor reads it there at
// every command, once that module has been imported.
#pragma once

#include <Python.h>

#include <stddef.h>

namespace shell_worker {

// The largest limit accepted: 2**48 bytes, beyond any memory, so in effect
// none.
constexpr long long most_output_limit = 1LL << 48;

// The limit in force: the settings module's `output_limit` where it has been
// imported, else the default (256 MiB).  False with a ValueError set for a
// value that is not an int from 0 to most_output_limit.
bool output_limit_in_force(size_t& limit) noexcept;

}  // namespace shell_worker
