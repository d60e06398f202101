"""Session set-up shared by every test module."""

import signal

# A shell starts a background job with SIGINT ignored, and the interpreters the tests start
# inherit that. The tests of Ctrl-C need it delivered, in this process and in its children
# (whose exec resets a caught signal to its default action, while an ignored one stays ignored).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
