// main: the request loop over standard input and standard output.
#include "shell_worker.hpp"

#include <string.h>

#include <utility>

#include "../host/constants.hpp"
#include "../host/error_context.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "../host/name_equality.hpp"
#include "../host/records.hpp"
#include "../host/traceback_entry.hpp"
#include "input_pause.hpp"
#include "json_sink.hpp"
#include "main_loop_steps.hpp"
#include "request_verdict.hpp"
#include "response_stream.hpp"
#include "responses.hpp"
#include "worker_objects.hpp"

namespace shell_worker {

namespace {

// signal.signal(signal.SIGINT, signal.SIG_IGN); the previous handler is dropped.
bool ignore_interrupt_signal() noexcept {
    Ref set_handler = lookup_global_attr(k.signal, k.signal);
    Ref sigint = set_handler ? lookup_global_attr(k.signal, k.sigint) : Ref();
    Ref sig_ign = sigint ? lookup_global_attr(k.signal, k.sig_ign) : Ref();
    if (!sig_ign) {
        return false;
    }
    PyObject* arguments[] = {sigint.get(), sig_ign.get()};
    return bool(Ref::steal(PyObject_Vectorcall(set_handler.get(), arguments, 2, nullptr)));
}

// text + "\n", in `text`.  An exact str that only this call holds is extended
// in place, as the host's own `s += t` would be, rather than copied: a response
// that carries a large output is then held once, not twice, while it is written.
bool append_line_feed(Ref& text) noexcept {
    if (!PyUnicode_CheckExact(text.get())) {
        text = Ref::steal(PyNumber_Add(text.get(), k.line_feed));
        return bool(text);
    }
    PyObject* line = text.release();
    PyUnicode_Append(&line, k.line_feed);
    text = Ref::steal(line);
    return bool(text);
}

// One response line out the plain way: a single write of
// json.dumps(response) + "\n" to `out`, then a flush of sys.stdout fetched
// again.  Outputs kept as bytes are turned into text first.
bool send_plain(PyObject* out, PyObject* response, MainLoopStep& step) noexcept {
    if (!materialise(response)) {
        return false;
    }
    Ref dumps = lookup_global_attr(k.json, k.dumps);
    Ref line = dumps ? Ref::steal(PyObject_CallOneArg(dumps.get(), response)) : Ref();
    if (!line || !append_line_feed(line) || !call_method(out, k.write, line.get())) {
        return false;
    }
    step = MainLoopStep::flush_response;
    Ref again = lookup_global_attr(k.sys, k.stdout_);
    return again && call_method(again.get(), k.flush);
}

// One response line out the module's own way, with what json.dumps would have
// written, to the same stream with the same result.  A line that fits the
// sink's buffer goes as the plain way sends it, in one write of the whole
// line to the text stream `out`; a longer one goes in bounded chunks to the
// binary layer of `out` (the process's own stream), after whatever its text
// layer held, and then the line feed through the text layer (which
// translates it as it would have).  Then the flush.  -1 when the binary layer
// cannot be had: nothing has been written then, and the plain way says why.
int send_streamed(PyObject* out, PyObject* response, MainLoopStep& step) noexcept {
    Ref binary = get_attr(out, k.buffer);
    if (!binary) {
        PyErr_Clear();
        return -1;
    }
    JsonSink sink(binary.get(), out);
    if (!put_response(sink, response)) {
        return 0;
    }
    if (sink.holds_all()) {
        Ref line = Ref::steal(PyUnicode_New(Py_ssize_t(sink.held_size()) + 1, 127));
        if (!line) {
            return 0;
        }
        char* text = reinterpret_cast<char*>(PyUnicode_DATA(line.get()));
        memcpy(text, sink.held(), sink.held_size());
        text[sink.held_size()] = '\n';
        if (!call_method(out, k.write, line.get())) {
            return 0;
        }
    } else if (!sink.flush() || !call_method(out, k.write, k.line_feed)) {
        return 0;
    }
    step = MainLoopStep::flush_response;
    Ref again = lookup_global_attr(k.sys, k.stdout_);
    return again && call_method(again.get(), k.flush) ? 1 : 0;
}

// One response line out to the current sys.stdout, fetched once here and
// once more for the flush, whichever way it goes: the module's own way where
// the request's verdict allows it for this stream and this response (made of
// what the sink writes as json.dumps would), the plain way otherwise.
bool send(PyObject* response, const Verdict& verdict, MainLoopStep& step) noexcept {
    step = MainLoopStep::write_response;
    Ref out = lookup_global_attr(k.sys, k.stdout_);
    if (!out) {
        return false;
    }
    if (may_write_in_pieces(verdict, out.get()) && streamable(response)) {
        int sent = send_streamed(out.get(), response, step);
        if (sent >= 0) {
            return sent == 1;
        }
    }
    return send_plain(out.get(), response, step);
}

// Whether `error` is json.JSONDecodeError or a subclass; -1 when the class
// cannot be looked up.
int is_decode_error(PyObject* error) noexcept {
    Ref decode_error = lookup_global_attr(k.json, k.json_decode_error);
    if (!decode_error) {
        return -1;
    }
    return PyErr_GivenExceptionMatches(error, decode_error.get());
}

// {"success": False, "error": "Invalid JSON: " + format(e, "")}.
Ref invalid_json(PyObject* e) noexcept {
    Ref description = Ref::steal(PyObject_Format(e, k.empty));
    Ref message = description
                      ? Ref::steal(PyUnicode_Concat(k.invalid_json, description.get()))
                      : Ref();
    return message ? failure_response(message.get()) : Ref();
}

// cmd.get("action") == "quit", made on the request after its response is out.
int asks_to_quit(PyObject* cmd) noexcept {
    Ref action = PyDict_CheckExact(cmd) ? dict_get(cmd, k.action, Py_None)
                                        : call_method(cmd, k.get, k.action);
    return action ? equals_name(action.get(), k.quit) : -1;
}

// line.strip(), for an exact str through the method taken at initialisation.
Ref stripped(PyObject* line) noexcept {
    if (PyUnicode_CheckExact(line)) {
        return Ref::steal(PyObject_Vectorcall(worker_objects.str_strip, &line, 1, nullptr));
    }
    return call_method(line, k.strip);
}

// Answers one stripped, non-blank line.  Returns 1 to go on, 0 after a quit
// request, -1 on an error that ends the loop.
int answer(PyObject* line, MainLoopStep& step) noexcept {
    const Verdict verdict = decide_request();
    step = MainLoopStep::decode_line;
    Ref loads = lookup_global_attr(k.json, k.loads);
    if (!loads) {
        return -1;
    }
    Ref cmd = Ref::steal(PyObject_CallOneArg(loads.get(), line));
    if (!cmd) {
        Ref e = Ref::steal(PyErr_GetRaisedException());
        int decode_failed = is_decode_error(e.get());
        if (decode_failed == 0) {
            PyErr_SetRaisedException(e.release());
            return -1;
        }
        if (decode_failed < 0) {
            // The failed lookup is what passes on, with the decoder's error as its context.
            chain_to_pending(std::move(e));
            return -1;
        }
        step = MainLoopStep::invalid_json_response;
        Ref response = invalid_json(e.get());
        return response && send(response.get(), verdict, step) ? 1 : -1;
    }

    step = MainLoopStep::call_handler;
    Ref handler = lookup_global(k.handle_command);
    Ref response;
    const Verdict* outer = follow_verdict(&verdict);  // a main loop run from a command's hook
    if (handler && handler.get() == records.handle_command_function &&
        PyDict_CheckExact(cmd.get())) {
        // The module's own handle_command, with what its binding would check
        // already true: called directly, so that it may keep the commands'
        // outputs as bytes where the response may be written here.
        response = handle_command(cmd.get(), verdict.handlers_own && verdict.json_own);
    } else if (handler) {
        response = Ref::steal(PyObject_CallOneArg(handler.get(), cmd.get()));
    }
    follow_verdict(outer);
    if (!response || !send(response.get(), verdict, step)) {
        return -1;
    }
    step = MainLoopStep::quit_test;
    int quit = asks_to_quit(cmd.get());
    return quit < 0 ? -1 : !quit;
}

int run(MainLoopStep& step) noexcept {
    step = MainLoopStep::ignore_interrupts;
    if (!ignore_interrupt_signal()) {
        return -1;
    }
    step = MainLoopStep::fetch_stdin;
    Ref in = lookup_global_attr(k.sys, k.stdin_);
    Ref lines = in ? Ref::steal(PyObject_GetIter(in.get())) : Ref();
    if (!lines) {
        return -1;
    }
    for (;;) {
        step = MainLoopStep::read_line;
        Ref line = next_input_line(in.get(), lines.get());
        if (!line) {
            return PyErr_Occurred() ? -1 : 0;
        }
        step = MainLoopStep::strip_line;
        line = stripped(line.get());
        int blank = line ? PyObject_Not(line.get()) : -1;
        if (blank < 0) {
            return -1;
        }
        if (blank) {
            continue;
        }
        int go_on = answer(line.get(), step);
        if (go_on <= 0) {
            return go_on;
        }
    }
}

}  // namespace

Ref main_loop() noexcept {
    MainLoopStep step = MainLoopStep::ignore_interrupts;
    if (run(step) < 0) {
        add_traceback_entry(step);
        return Ref();
    }
    return Ref::borrow(Py_None);
}

}  // namespace shell_worker
