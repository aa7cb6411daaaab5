"""How long the controller waits for a worker to end, step by step.

Read at each use, so that every worker follows the current values.
"""

# After "quit" and the end of its input: a worker that answers quit exits at once.
AFTER_QUIT = 5.0
# After SIGTERM: a worker running a command ends the command's whole process
# group first, then itself by that signal.  SIGKILL follows.
AFTER_TERM = 2.0
# After its output has ended without an answer: time for the worker to exit,
# so that its exit status and last words can be reported.
AFTER_SILENCE = 1.0
# A pool's place whose worker failed to start is tried again after
# RESTART_FIRST seconds, then after twice as long each time, up to RESTART_CAP.
RESTART_FIRST = 0.25
RESTART_CAP = 30.0
