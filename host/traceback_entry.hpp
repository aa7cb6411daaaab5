// The module's functions, and the traceback entries they add to errors that
// they pass on.
//
// The module has no Python source, so its entries number the steps of each
// function instead: every function owns a block of lines that starts at the
// first line of its code object, and each step that can fail reports its own
// line in that block.  Each operation declares its block and its steps in one
// place, as a scoped enum of steps and the block_of that enum:
//
//     enum class ExecutorStep { look_up_run = 1, ..., last = collect_output };
//     template <> inline constexpr Block block_of<ExecutorStep> = {
//         Function::execute_command, 10, 30};
//     static_assert(steps_fit<ExecutorStep>);
#pragma once

namespace shell_worker {

// Every function that reports itself: the three callables, the generator
// expression of handle_command, and initialisation.
enum class Function { execute_command, handle_command, genexpr, main, init };

// A function's lines: from its code object's first line, `lines` of them.
struct Block {
    Function function;
    int first_line;
    int lines;
};

// The block of the function whose steps are the enum `Step`.
template <typename Step>
inline constexpr Block block_of = {};

// Whether every step of `Step`, up to its `last`, lies inside its block.
template <typename Step>
inline constexpr bool steps_fit = int(Step::last) > 0 && int(Step::last) < block_of<Step>.lines;

// Whether block `a` ends before block `b` begins.
constexpr bool ends_before(Block a, Block b) noexcept {
    return a.first_line + a.lines <= b.first_line;
}

// Appends one frame for `function` at `line` to the pending error's
// traceback.  The pending error is never disturbed: if the entry cannot be
// made, the error passes on without it.
void add_traceback_entry_at(Function function, int line) noexcept;

// The entry of the step `step` of its function.
template <typename Step>
void add_traceback_entry(Step step) noexcept {
    constexpr Block block = block_of<Step>;
    add_traceback_entry_at(block.function, block.first_line + int(step));
}

}  // namespace shell_worker
