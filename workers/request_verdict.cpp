#include "request_verdict.hpp"

#include <string.h>

#include "../host/call_observers.hpp"
#include "../host/change_watch.hpp"
#include "../host/constants.hpp"
#include "../host/records.hpp"
#include "../host/ref.hpp"
#include "../host/stdlib_identity.hpp"

namespace shell_worker {

namespace {

// The verdict of the request that the main loop is answering on this thread,
// in the host's thread-specific storage: a C++ thread_local would make the
// extension need the dynamic loader's __tls_get_addr, beyond libc.
Py_tss_t request_verdict = Py_tss_NEEDS_INIT;

const Verdict* followed() noexcept {
    return PyThread_tss_is_created(&request_verdict)
               ? static_cast<const Verdict*>(PyThread_tss_get(&request_verdict))
               : nullptr;
}

// The last verdict made, with owned references to what it borrows.
Verdict cached;
bool cached_made = false;
PyObject* cached_environ_data = nullptr;    // owned
PyObject* cached_environ_decode = nullptr;  // owned

// A namespace's dict (borrowed from its module) or a class's (owned).
PyObject* module_names(PyObject* module) noexcept {
    return module && PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

Ref class_names(PyObject* type) noexcept {
    return type && PyType_Check(type)
               ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)))
               : Ref();
}

// An instance's attribute dict, watched; empty when it has none.
Ref instance_names(PyObject* object) noexcept {
    Ref names = Ref::steal(PyObject_GenericGetDict(object, nullptr));
    if (!names || !PyDict_CheckExact(names.get())) {
        PyErr_Clear();
        return Ref();
    }
    watch_changes(names.get());
    return names;
}

// Whether the tuple `tuple` holds exactly `values`, by type and value.
bool tuple_holds_exactly(PyObject* tuple, std::initializer_list<PyObject*> values) noexcept {
    if (!tuple || !PyTuple_CheckExact(tuple) ||
        PyTuple_GET_SIZE(tuple) != Py_ssize_t(values.size())) {
        return false;
    }
    Py_ssize_t i = 0;
    for (PyObject* expected : values) {
        PyObject* value = PyTuple_GET_ITEM(tuple, i++);
        if (Py_TYPE(value) != Py_TYPE(expected) ||
            (value != expected && PyObject_RichCompareBool(value, expected, Py_EQ) != 1)) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// subprocess.run(...) as the standard library makes it: its module, every
// name in it, run with its documented keyword defaults, Popen.__init__ with
// its documented defaults, and the os functions that Popen calls.
bool process_is_own(PyObject* subprocess) noexcept {
    PyObject* names = module_names(subprocess);
    if (!is_stdlib_module(subprocess, "subprocess") || !is_stdlib_namespace(names)) {
        return false;
    }
    PyObject* run = entry(names, "run");
    if (!is_stdlib_function(run, "run") || PyFunction_GetDefaults(run) ||
        !holds_exactly(PyFunction_GetKwDefaults(run), {{"input", Py_None},
                                                       {"capture_output", Py_False},
                                                       {"timeout", Py_None},
                                                       {"check", Py_False}})) {
        return false;
    }
    Ref popen_names = class_names(entry(names, "Popen"));
    PyObject* init = entry(popen_names.get(), "__init__");
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref no_fds = Ref::steal(PyTuple_New(0));
    if (!minus_one || !zero || !no_fds) {
        PyErr_Clear();
        return false;
    }
    PyObject* none = Py_None;
    if (!is_stdlib_function(init, "Popen.__init__") ||
        !tuple_holds_exactly(PyFunction_GetDefaults(init),
                             {minus_one.get(), none, none, none, none, none, Py_True, Py_False,
                              none, none, none, none, zero.get(), Py_True, Py_False,
                              no_fds.get()}) ||
        !holds_exactly(PyFunction_GetKwDefaults(init),
                       {{"user", none}, {"group", none}, {"extra_groups", none},
                        {"encoding", none}, {"errors", none}, {"text", none},
                        {"umask", minus_one.get()}, {"pipesize", minus_one.get()},
                        {"process_group", none}})) {
        return false;
    }
    // The os functions that Popen calls on its way to a child and back.
    PyObject* os = entry(names, "os");
    return is_stdlib_module(os, "os") &&
           are_stdlib_entries(module_names(os),
                              {"close", "dup", "fsdecode", "fsencode", "get_exec_path", "kill",
                               "open", "pipe", "read", "strerror", "waitpid",
                               "waitstatus_to_exitcode", "write"});
}

// The encoding's name in one of os.environ's coding functions: the one value
// that its closure holds (borrowed), or null.
PyObject* closed_over(PyObject* function) noexcept {
    PyObject* closure = PyFunction_GetClosure(function);  // borrowed
    if (!closure || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1) {
        return nullptr;
    }
    return PyCell_GET(PyTuple_GET_ITEM(closure, 0));
}

bool names_utf8(PyObject* encoding) noexcept {
    return encoding && PyUnicode_CheckExact(encoding) &&
           (PyUnicode_CompareWithASCIIString(encoding, "utf-8") == 0 ||
            PyUnicode_CompareWithASCIIString(encoding, "utf8") == 0);
}

// os.environ as the standard library makes it on a UTF-8 host: an _Environ of
// the os module, with the coding functions that os makes for it and a plain
// dict of bytes.  On success sets `data` and `decode` (borrowed).
bool environ_is_own(PyObject* os, PyObject*& data, PyObject*& decode) noexcept {
    PyObject* names = module_names(os);
    if (!is_stdlib_module(os, "os")) {
        return false;
    }
    PyObject* environ = entry(names, "environ");
    PyObject* environ_class = entry(names, "_Environ");
    if (!environ || reinterpret_cast<PyObject*>(Py_TYPE(environ)) != environ_class ||
        !is_stdlib_class(environ_class)) {
        return false;
    }
    // dict(os.environ) iterates over keys(): Mapping.keys's KeysView.
    Ref mapping_names = class_names(reinterpret_cast<PyObject*>(Py_TYPE(environ)));
    PyObject* keys = nullptr;
    PyObject* mro = Py_TYPE(environ)->tp_mro;
    for (Py_ssize_t i = 0; mro && !keys && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref base_names = class_names(PyTuple_GET_ITEM(mro, i));
        keys = entry(base_names.get(), "keys");  // kept alive by the class
    }
    PyObject* keys_view = keys && PyFunction_Check(keys)
                              ? entry(PyFunction_GetGlobals(keys), "KeysView")
                              : nullptr;
    if (!is_stdlib_function(keys, "Mapping.keys") || !is_stdlib_class(keys_view)) {
        return false;
    }
    Ref attributes = instance_names(environ);
    if (!attributes || PyDict_GET_SIZE(attributes.get()) != 5) {
        return false;
    }
    PyObject* decode_key = entry(attributes.get(), "decodekey");
    PyObject* encode_key = entry(attributes.get(), "encodekey");
    data = entry(attributes.get(), "_data");
    decode = decode_key;
    return data && PyDict_CheckExact(data) && decode_key &&
           decode_key == entry(attributes.get(), "decodevalue") && encode_key &&
           encode_key == entry(attributes.get(), "encodevalue") &&
           is_stdlib_function(decode_key, "_createenviron.<locals>.decode") &&
           is_stdlib_function(encode_key, "_createenviron.<locals>.encode") &&
           names_utf8(closed_over(decode_key)) &&
           closed_over(decode_key) == closed_over(encode_key);
}

// json.dumps(response) as the standard library makes it, with every default:
// the function and its keyword defaults, the default encoder with its
// settings, JSONEncoder and the module json.encoder with its C accelerator.
bool json_is_own(PyObject* json) noexcept {
    PyObject* names = module_names(json);
    if (!is_stdlib_module(json, "json")) {
        return false;
    }
    PyObject* dumps = entry(names, "dumps");
    PyObject* none = Py_None;
    if (!is_stdlib_function(dumps, "dumps") || PyFunction_GetDefaults(dumps) ||
        !holds_exactly(PyFunction_GetKwDefaults(dumps),
                       {{"skipkeys", Py_False}, {"ensure_ascii", Py_True},
                        {"check_circular", Py_True}, {"allow_nan", Py_True}, {"cls", none},
                        {"indent", none}, {"separators", none}, {"default", none},
                        {"sort_keys", Py_False}})) {
        return false;
    }
    PyObject* encoder = entry(names, "encoder");
    PyObject* encoder_names = module_names(encoder);
    PyObject* encoder_class = entry(names, "JSONEncoder");
    if (!is_stdlib_module(encoder, "json.encoder") || !is_stdlib_namespace(encoder_names) ||
        encoder_class != entry(encoder_names, "JSONEncoder") || !is_stdlib_class(encoder_class) ||
        !is_c_class_of(entry(encoder_names, "c_make_encoder"), "_json", "Encoder") ||
        !is_builtin_of(entry(encoder_names, "encode_basestring_ascii"), "_json",
                       "encode_basestring_ascii")) {
        return false;
    }
    Ref methods = class_names(encoder_class);
    PyObject* item_separator = entry(methods.get(), "item_separator");
    PyObject* key_separator = entry(methods.get(), "key_separator");
    PyObject* iterencode = entry(methods.get(), "iterencode");
    if (!item_separator || !PyUnicode_CheckExact(item_separator) ||
        PyUnicode_CompareWithASCIIString(item_separator, ", ") != 0 || !key_separator ||
        !PyUnicode_CheckExact(key_separator) ||
        PyUnicode_CompareWithASCIIString(key_separator, ": ") != 0 ||
        !is_stdlib_function(entry(methods.get(), "encode"), "JSONEncoder.encode") ||
        !is_stdlib_function(iterencode, "JSONEncoder.iterencode") ||
        !tuple_holds_exactly(PyFunction_GetDefaults(iterencode), {Py_False})) {
        return false;
    }
    PyObject* default_encoder = entry(names, "_default_encoder");
    if (!default_encoder ||
        reinterpret_cast<PyObject*>(Py_TYPE(default_encoder)) != encoder_class) {
        return false;
    }
    Ref settings = instance_names(default_encoder);
    return settings && holds_exactly(settings.get(), {{"skipkeys", Py_False},
                                                      {"ensure_ascii", Py_True},
                                                      {"check_circular", Py_True},
                                                      {"allow_nan", Py_True},
                                                      {"sort_keys", Py_False},
                                                      {"indent", none}});
}

void make_verdict() noexcept {
    Verdict verdict;
    verdict.changes = change_count();
    PyObject* globals = records.globals;
    watch_changes(globals);
    verdict.handlers_own =
        entry(globals, "execute_command") == records.execute_command_function &&
        entry(globals, "handle_command") == records.handle_command_function;
    verdict.process_own = process_is_own(entry(globals, "subprocess"));
    PyObject* data = nullptr;
    PyObject* decode = nullptr;
    if (environ_is_own(entry(globals, "os"), data, decode)) {
        verdict.environ_data = data;
        verdict.environ_decode = decode;
    }
    verdict.json_own = json_is_own(entry(globals, "json"));
    PyErr_Clear();
    Py_XSETREF(cached_environ_data, Py_XNewRef(verdict.environ_data));
    Py_XSETREF(cached_environ_decode, Py_XNewRef(verdict.environ_decode));
    cached = verdict;
    cached_made = true;
}

// --- writing in pieces ---------------------------------------------------------

// The encoding last looked at (owned), and whether it writes ASCII as ASCII
// without state: reconfigure() makes a new name object, so one comparison
// tells whether to look again.
PyObject* checked_encoding = nullptr;
bool checked_encoding_fits = false;

// Encodings with no state between writes (no shift, no byte order mark) in
// which ASCII is ASCII, by the codec registry's own names for them.
bool is_stateless_ascii_codec(const char* name) noexcept {
    static const char* const exact[] = {"utf-8",  "ascii",  "cp437",  "cp850",    "cp852",
                                        "cp858",  "cp866",  "koi8-r", "koi8-u",   "mac-roman",
                                        "latin-1"};
    for (const char* known : exact) {
        if (strcmp(name, known) == 0) {
            return true;
        }
    }
    return strncmp(name, "iso8859-", 8) == 0 || (strncmp(name, "cp125", 5) == 0 && strlen(name) == 6);
}

// Whether `encoding` turns every printable ASCII character (all that a
// response's text holds but its final line feed, which goes through the
// stream itself) into that same byte, and keeps no state.
bool writes_ascii_as_ascii(PyObject* encoding) noexcept {
    // The registry's lookup, the C function that the text layer itself goes
    // through: the codec's own name for whatever alias the stream was given.
    const char* name = PyUnicode_Check(encoding) ? PyUnicode_AsUTF8(encoding) : nullptr;
    Ref codecs = name ? Ref::steal(PyImport_ImportModule("_codecs")) : Ref();
    Ref lookup = codecs ? Ref::steal(attribute(codecs.get(), "lookup")) : Ref();
    Ref codec = is_builtin_of(lookup.get(), "_codecs", "lookup")
                    ? Ref::steal(PyObject_CallOneArg(lookup.get(), encoding))
                    : Ref();
    Ref canonical = codec ? Ref::steal(attribute(codec.get(), "name")) : Ref();
    const char* canonical_name =
        canonical && PyUnicode_Check(canonical.get()) ? PyUnicode_AsUTF8(canonical.get()) : nullptr;
    if (!canonical_name || !is_stateless_ascii_codec(canonical_name)) {
        PyErr_Clear();
        return false;
    }
    char printable[95];
    for (int i = 0; i < 95; ++i) {
        printable[i] = char(' ' + i);
    }
    Ref probe = Ref::steal(PyUnicode_FromStringAndSize(printable, sizeof printable));
    Ref encoded = probe ? Ref::steal(PyUnicode_AsEncodedString(probe.get(), name, "strict")) : Ref();
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    return PyBytes_Check(encoded.get()) && PyBytes_GET_SIZE(encoded.get()) == sizeof printable &&
           memcmp(PyBytes_AS_STRING(encoded.get()), printable, sizeof printable) == 0;
}

bool encoding_fits(PyObject* out) noexcept {
    Ref encoding = Ref::steal(PyObject_GetAttr(out, k.encoding));
    if (!encoding) {
        PyErr_Clear();
        return false;
    }
    if (encoding.get() != checked_encoding) {
        checked_encoding_fits = writes_ascii_as_ascii(encoding.get());
        Py_XSETREF(checked_encoding, encoding.release());
    }
    return checked_encoding_fits;
}

// An io object of io's own class `name`, whose write and flush are its
// class's (no attribute of the instance stands in for them).
bool is_own_io(PyObject* object, const char* name) noexcept {
    if (!is_c_class_of(reinterpret_cast<PyObject*>(Py_TYPE(object)), "_io", name, "io")) {
        return false;
    }
    Ref attributes = instance_names(object);
    return !attributes ||
           (!entry(attributes.get(), "write") && !entry(attributes.get(), "flush"));
}

// The stream last found to be io's own through all its layers (owned), and
// the change count then: the layers of a stream cannot be swapped, and its
// attributes are watched.
PyObject* checked_stream = nullptr;
std::uint64_t checked_stream_changes = 0;

bool layers_are_own(PyObject* out) noexcept {
    if (out == checked_stream && checked_stream_changes == change_count()) {
        return true;
    }
    std::uint64_t changes = change_count();
    if (!is_own_io(out, "TextIOWrapper")) {
        return false;
    }
    Ref binary = Ref::steal(PyObject_GetAttr(out, k.buffer));
    if (!binary) {
        PyErr_Clear();
        return false;
    }
    // Unbuffered (python -u), the binary layer is the raw file itself.
    if (!is_own_io(binary.get(), "FileIO")) {
        Ref raw = is_own_io(binary.get(), "BufferedWriter")
                      ? Ref::steal(attribute(binary.get(), "raw"))
                      : Ref();
        if (!raw || !is_own_io(raw.get(), "FileIO")) {
            PyErr_Clear();
            return false;
        }
    }
    Py_XSETREF(checked_stream, Py_NewRef(out));
    checked_stream_changes = changes;
    return true;
}

// _thread._count, the number of threads that _thread started and that have
// not ended (owned), or null where the host has none.
PyObject* thread_count = nullptr;
bool thread_count_made = false;

bool alone() noexcept {
    if (!thread_count_made) {
        thread_count_made = true;
        Ref threads = Ref::steal(PyImport_ImportModule("_thread"));
        thread_count = threads ? attribute(threads.get(), "_count") : nullptr;
        PyErr_Clear();
    }
    if (!is_builtin_of(thread_count, "_thread", "_count")) {
        return false;  // cannot be told: another thread may be there
    }
    Ref count = Ref::steal(PyObject_CallNoArgs(thread_count));
    long number = count && PyLong_Check(count.get()) ? PyLong_AsLong(count.get()) : -1;
    PyErr_Clear();
    return number == 0;
}

}  // namespace

Verdict decide_request() noexcept {
    if (!cached_made || cached.changes != change_count()) {
        make_verdict();
    }
    Verdict verdict = cached;
    verdict.json_own = verdict.json_own && !python_calls_watched();
    return verdict;
}

bool verdict_holds(const Verdict& verdict) noexcept {
    return verdict.changes == change_count();
}

const Verdict* follow_verdict(const Verdict* verdict) noexcept {
    const Verdict* outer = followed();
    // Where the storage cannot be had (out of memory), no verdict is
    // followed: each call of execute_command then makes its own, which may
    // cost more but decides alike.
    if (PyThread_tss_create(&request_verdict) == 0) {
        (void)PyThread_tss_set(&request_verdict, const_cast<Verdict*>(verdict));
    }
    return outer;
}

Verdict executor_verdict() noexcept {
    const Verdict* verdict = followed();
    return verdict ? *verdict : decide_request();
}

bool may_write_in_pieces(const Verdict& verdict, PyObject* out) noexcept {
    return verdict.json_own && verdict_holds(verdict) && layers_are_own(out) &&
           encoding_fits(out) && alone();
}

}  // namespace shell_worker
