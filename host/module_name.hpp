// The module's full name and the source path that its code objects and
// traceback entries name.  Macros, so that other literals can be built from
// them at compile time.
#pragma once

#define SHELL_WORKER_FULL_NAME "varnok.workers.shell_worker"
#define SHELL_WORKER_SOURCE_PATH "varnok/workers/shell_worker"
