// A response written as json.dumps writes it, straight into a JsonSink, and
// the way back for a response that cannot be: its captured outputs turned
// into text for the plain path.
#pragma once

#include <Python.h>

#include "json_sink.hpp"

namespace shell_worker {

// Whether the sink writes every value of `response` as json.dumps would:
// exact dicts with exact str keys, exact lists, exact str, exact int within
// a C long long, True, False, None and captured outputs, nested a few levels
// at most (a response is three).  Anything else (a float, a subclass, a
// value that a replaced executor made) takes the plain path, which also
// raises whatever json.dumps raises for it.  Never leaves an error set.
bool streamable(PyObject* response) noexcept;

// The JSON text of a streamable response, without the line feed.
bool put_response(JsonSink& sink, PyObject* response) noexcept;

// Replaces, in place, every captured output in `response` by its text, one
// text for each captured output however often it appears.  False with an
// error set.
bool materialise(PyObject* response) noexcept;

}  // namespace shell_worker
