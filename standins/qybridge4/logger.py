"""The package logger: debug records are kept in memory, in order."""

import qyb_desktop


class _Logger:
    def __init__(self):
        self.records = []

    def debug(self, message):
        self.records.append(message)
        qyb_desktop.current().record("debug", None, (message,))


qylog = _Logger()
