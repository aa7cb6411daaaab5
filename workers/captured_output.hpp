// A command's output kept as the bytes it wrote, for a response that the
// main loop writes straight from them: the only copy, decoded a chunk at a
// time as the response goes out.  Such objects live only inside the
// responses of that path, and only while nothing else can see them; wherever
// a response is to go another way, they are turned into the text that
// execute_command would have returned.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"
#include "../process/child_output.hpp"
#include "json_sink.hpp"
#include "output_text.hpp"

namespace shell_worker {

// The type of these objects, made once at initialisation.
Ref make_captured_output_type() noexcept;

// Takes the buffer's bytes, prepared for decoding (output_text.hpp); the
// buffer is empty afterwards.
Ref capture_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept;

bool is_captured_output(PyObject* object) noexcept;

// The text that decoded_output() would have made of the same bytes.
Ref captured_text(PyObject* captured) noexcept;

// The text as a JSON string, decoded with the host's own decoder for the
// encoding in force and escaped, a chunk at a time: a multibyte character,
// an invalid sequence or a "\r\n" cut by a chunk's end comes out as from a
// decoding of the whole.
bool put_captured(JsonSink& sink, PyObject* captured) noexcept;

}  // namespace shell_worker
