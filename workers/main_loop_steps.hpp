// The block and steps of main.
#pragma once

#include "../host/traceback_entry.hpp"

namespace shell_worker {

// The steps of main that can fail, by the line they report.
enum class MainLoopStep {
    ignore_interrupts = 1, fetch_stdin, read_line, strip_line, decode_line,
    invalid_json_response, call_handler, write_response, flush_response, quit_test,
    last = quit_test,
};
template <>
inline constexpr Block block_of<MainLoopStep> = {Function::main, 80, 30};
static_assert(steps_fit<MainLoopStep>);

}  // namespace shell_worker
