// A command's output bytes as text, the way the host's subprocess decodes
// them in text mode with errors="replace".
#pragma once

#include <Python.h>

#include <stddef.h>

#include "../host/ref.hpp"
#include "../process/child_output.hpp"

namespace shell_worker {

struct TextEncoding {
    Ref name;           // str
    bool utf8 = false;  // UTF-8 under another spelling included
};

// UTF-8 in UTF-8 mode, otherwise the locale's encoding, as subprocess picks
// it when given none; under -X warn_default_encoding asking for it gives the
// same EncodingWarning.  False with the host's error set.
bool choose_text_encoding(TextEncoding& encoding) noexcept;

// The LookupError that subprocess's text streams raise for an encoding the
// host does not know, before the child starts.  UTF-8 is always known.
bool check_text_encoding(const TextEncoding& encoding) noexcept;

// Makes the bytes ready for decoding: where the encoding is UTF-8, "\r\n"
// and a lone "\r" are made "\n" in place ("\r" is one byte in UTF-8 and
// never part of another character, so translating the bytes first gives the
// text that translating after decoding would).  Other encodings translate
// their text instead.
void prepare_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept;

// Prepared bytes decoded with errors="replace", their newlines translated.
Ref decode_prepared(const char* data, size_t size, const TextEncoding& encoding) noexcept;

// The buffer's bytes decoded with errors="replace", "\r\n" and a lone "\r"
// made "\n".  The buffer is emptied, so that the bytes and their text are
// not both held for longer than the decoding.
Ref decoded_output(OutputBuffer& buffer, const TextEncoding& encoding) noexcept;

}  // namespace shell_worker
