"""Holding Ctrl-C back over a few steps that must not be cut in half."""

from __future__ import annotations

import signal
import threading


class deferred_interrupt:
    """Within the block, a Ctrl-C (SIGINT) is only noted; KeyboardInterrupt is raised when the
    block ends.  Applies on the main thread while Python's own SIGINT handler is installed; a
    program with its own handler, and every other thread, is left as it is."""

    def __enter__(self):
        self.pending = False
        self.previous = None
        if threading.current_thread() is threading.main_thread() \
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.previous = signal.signal(signal.SIGINT, self._note)
        return self

    def _note(self, signum, frame):
        self.pending = True

    def __exit__(self, kind, value, traceback):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        if self.pending and kind is None:
            raise KeyboardInterrupt
        return False
