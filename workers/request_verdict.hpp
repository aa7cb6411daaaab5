// The one place that decides, once per request, whether the module may do
// the host's work itself: start a command's child without subprocess, copy
// os.environ from its bytes, write a response without json.dumps, in pieces
// rather than in one write.  The executor and the response writer follow the
// verdict; they decide nothing of their own.
//
// The module stands in for the host only where nothing the host did could
// make the outcome differ: where the machinery the plain path would call is
// the host's unmodified standard library (host/stdlib_identity.hpp says how
// that is told), whatever happened before the module was imported.  What it
// found holds while nothing it looked at has changed (host/change_watch.hpp),
// so that a verdict costs one comparison per request; a tracer, profiler or
// monitoring tool, which nothing announces, is asked about at each request.
#pragma once

#include <Python.h>

#include <cstdint>

namespace shell_worker {

struct Verdict {
    std::uint64_t changes = 0;  // change_count() when it was made
    // The globals execute_command and handle_command are the module's own.
    bool handlers_own = false;
    // subprocess.run, Popen and what they call are the standard library's:
    // the executor may start the child itself.
    bool process_own = false;
    // os.environ is the standard library's, over UTF-8 bytes: the copy may be
    // made from these bytes (borrowed, alive while the verdict holds) with
    // `environ_decode`, the decoding function that names the encoding.
    PyObject* environ_data = nullptr;
    PyObject* environ_decode = nullptr;
    // json.dumps(response) with its defaults is the standard library's, and
    // nothing watches its calls: the module may write the JSON text itself.
    bool json_own = false;
};

// The verdict for the request about to be answered.  Never fails.
Verdict decide_request() noexcept;

// Whether nothing that `verdict` was made from has changed since.
bool verdict_holds(const Verdict& verdict) noexcept;

// Makes `verdict` (or null) the one that calls of execute_command on this
// thread follow, for the request that the main loop is answering; returns
// the one it replaces, to be put back.  Per thread, since a main loop on
// another thread sets and restores its own while this one waits for a
// command.
const Verdict* follow_verdict(const Verdict* verdict) noexcept;

// The verdict that a call of execute_command follows: the request's on this
// thread, or, for a call of the host's own, one made now.
Verdict executor_verdict() noexcept;

// Whether a response may go to `out` (the sys.stdout fetched for its write)
// in more than one write, straight to its binary layer: only under a verdict
// that still holds with json_own, to a text stream whose buffer and raw layers
// are io's own and unpatched, in a stateless encoding that writes ASCII as
// ASCII, with no other thread that could write between the pieces.
// Otherwise the response goes in one write, as the plain path writes it.
// Never leaves an error set.
bool may_write_in_pieces(const Verdict& verdict, PyObject* out) noexcept;

}  // namespace shell_worker
