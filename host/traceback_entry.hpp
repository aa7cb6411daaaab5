// The module's functions, and the traceback entries they add to errors that
// they pass on.
//
// The module has no Python source, so its entries number the steps of each
// function instead: every function owns a block of lines that starts at the
// first line of its code object, and each step that can fail reports its own
// line in that block.
#pragma once

namespace shell_worker {

// Every function that reports itself: the three callables, the generator
// expression of handle_command, and initialisation.
enum class Function { execute_command, handle_command, genexpr, main, init };

constexpr int first_line(Function function) noexcept {
    switch (function) {
        case Function::execute_command: return 10;
        case Function::handle_command: return 40;
        case Function::genexpr: return 70;
        case Function::main: return 80;
        case Function::init: return 110;
    }
    return 1;
}

// Appends one frame for `function` at `first_line(function) + step` to the
// pending error's traceback.  The pending error is never disturbed: if the
// entry cannot be made, the error passes on without it.
void add_traceback_entry(Function function, int step) noexcept;

}  // namespace shell_worker
