"""Set-up shared by the Python tests."""
import signal

# A shell that starts a command in the background without job control makes
# it ignore SIGINT, and Python then installs no handler of its own: Ctrl-C
# would raise nothing, and the tests that press it would fail for a reason
# that is not theirs. They get Python's handler back.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
