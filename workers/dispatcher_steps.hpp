// The blocks and steps of handle_command and of its generator expression.
#pragma once

#include "../host/traceback_entry.hpp"

namespace shell_worker {

// The steps of handle_command that can fail, by the line they report.
enum class DispatchStep {
    read_action = 1, match_action, quit_response, read_exec_members, test_command,
    call_executor, test_return_code, read_stderr, exec_response, read_exec_many_members,
    iterate_commands, call_executor_in_batch, test_all_success, exec_many_response, action_text,
    unknown_action_response, last = unknown_action_response,
};
template <>
inline constexpr Block block_of<DispatchStep> = {Function::handle_command, 40, 30};
static_assert(steps_fit<DispatchStep>);

// The steps of the all-success test, `r["returncode"] == 0 for r in results`.
enum class GenexprStep {
    read_return_code = 1, compare_return_code, last = compare_return_code,
};
template <>
inline constexpr Block block_of<GenexprStep> = {Function::genexpr, 70, 10};
static_assert(steps_fit<GenexprStep>);

}  // namespace shell_worker
