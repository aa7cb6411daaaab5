"""Settings of the shell worker that lie outside its protocol.

The console script sets them from its options (``varnok-shell-worker
--output-limit 64M``); a program that runs the worker in process may set them
before calling ``main()`` or ``execute_command()``, which read them at every
command once this module has been imported:

    import varnok.workers.shell_worker_settings as settings
    settings.output_limit = 64 * 1024 * 1024
"""

# The most each stream of a command may write, in bytes, before the command
# is ended and answered with "Command output exceeded N bytes on stdout" (or
# "on stderr").  The worker holds up to this much per stream while a command
# runs, so its peak memory follows it (see the README, "Output").
output_limit: int = 256 * 1024 * 1024

# Whether a command's process group, and then the worker, are ended as soon
# as nobody can read the worker's answers any more: its standard output (the
# controller's end of it) has been closed while the command runs.  Meant for
# workers behind a transport (ssh, kubectl exec), whose controller may go
# away without a word.  Off, a command always runs to its end, as the
# protocol has it: a controller may close its reader on purpose.
exit_with_controller: bool = False
