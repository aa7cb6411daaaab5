// The block and steps of initialisation (the exec slot).
#pragma once

#include "../host/traceback_entry.hpp"

namespace shell_worker {

// The steps of initialisation, by the line they report; a failure after
// make_constants adds the init entry.
enum class InitStep {
    check_reinitialisation = 1, record_module, bind_builtins, check_version, make_constants,
    make_types_and_code, import_host_modules, bind_execute_command, bind_handle_command,
    bind_main, run_as_main_program, bind_test, last = bind_test,
};
template <>
inline constexpr Block block_of<InitStep> = {Function::init, 110, 30};
static_assert(steps_fit<InitStep>);

}  // namespace shell_worker
