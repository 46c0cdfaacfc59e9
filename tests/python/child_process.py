"""A Python child process for the Ctrl-C tests."""
import signal
import subprocess
import sys


def start_python(code):
    """Runs `code` in a new interpreter with pipes for its output. SIGINT is
    reset to its default first: a process started in the background (a CI
    job, `make test &`) ignores SIGINT, its children inherit that, and an
    interpreter started so never turns Ctrl-C into KeyboardInterrupt."""
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
