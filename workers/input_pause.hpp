// Standard input that says "nothing yet" rather than "no more".  The host's
// line iteration takes a read that fails with EAGAIN (a non-blocking
// descriptor, which a parent can hand over by mistake) for the end of the
// input: the loop would end in silence with status 0, or a line would come
// cut in two.  Such an end is told from a real one by the errno that the
// read left, and the loop waits for the descriptor to become readable.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"

namespace shell_worker {

// The next line of the host's iteration `lines` over `in` (sys.stdin), as
// the iteration would yield it had the input never paused: a pause before a
// line is waited out, and a line that a pause cut short is joined to its
// rest.  Null at the end of the input, or with an error set: the
// iteration's own, or SystemExit with one line that says why, where the
// input cannot be waited for.
Ref next_input_line(PyObject* in, PyObject* lines) noexcept;

}  // namespace shell_worker
