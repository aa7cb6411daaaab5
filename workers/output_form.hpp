// Whether the next call of execute_command keeps the command's output as
// bytes (captured_output.hpp) rather than text: for the main loop's own
// writing of a response.  The dispatcher sets it just before it calls the
// module's own execute_command on that path, and the executor takes it
// (clears it) as it starts, so that no other call gets anything but text,
// not even one made from an audit hook meanwhile.  Guarded by the
// interpreter lock.
#pragma once

namespace shell_worker {

extern bool captured_output_wanted;

// Takes the wish: whether it was there; it is gone afterwards.
inline bool take_captured_output_wish() noexcept {
    bool wanted = captured_output_wanted;
    captured_output_wanted = false;
    return wanted;
}

}  // namespace shell_worker
