"""``mv620 view``: the instrument live in a local web page.

:mod:`.server` serves the page and its WebSocket, :mod:`.session` owns the instrument on one
thread, :mod:`.reduce` turns samples into the min/max columns the page draws, :mod:`.protocol`
checks what the page sends, and :mod:`.device` is the one place that calls the package's
instrument, acquisition and recorder.  The page itself is plain HTML, CSS and JavaScript in
``static/``.
"""
